// Big data, a value longer than one segment as Windows keeps it from format
// 1.4 on: a "db" record, the list of its segments, the segments. Written
// into new bins (RegfPutBigData), and read back from a hive file for the
// cells hivex leaves behind when it rewrites such a value
// (CollectBigDataCells), each with a digest of its bytes (RegfDigest) for
// the last pass to tell that it is as it was found.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_BIG_DATA_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_BIG_DATA_H

#include "platform/offline/regf_cells.h"

#include <stddef.h>
#include <stdint.h>

#include <vector>

// A cell left in use by hivex that nothing points to any more, as it was
// before hivex wrote the hive: its file offset and a digest of its bytes.
struct RegfOrphan {
    uint32_t cell;
    uint64_t digest;
};

// A digest of a cell's record (FNV-1a), to tell that hivex left it as it was.
uint64_t RegfDigest(const unsigned char *record, uint64_t size);

// Places data of size bytes (more than one segment) in bins as Windows keeps
// big data: a "db" record, the list of the segments, then the segments, each
// (the last one too) in a cell of one segment and 4 spare bytes, as readers
// take it to have. The db record's offset, or kRegfNoCell when the bins
// cannot hold it or it has over 65,535 segments.
uint32_t RegfPutBigData(RegfBins &bins, const unsigned char *data, size_t size);

// hivex frees the "db" record of a value it rewrites, but not its segment
// list nor its segments. Given the file offset of a value's data cell in fd
// (a file holding the value as the run found it), appends the cells that are
// left behind when it is a "db" record, nothing when it is a plain cell.
// False when the record is malformed or cannot be read.
bool CollectBigDataCells(int fd, uint32_t cell, std::vector<RegfOrphan> *cells);

#endif

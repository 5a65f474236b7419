// The cells of a hive: read one at a time from a hive file, checked, and
// changed in place (RegfCells); laid out in new bins (RegfBins); and the
// big-data form of a long value (RegfPutBigData). Offsets are file offsets
// for RegfCells, as records hold them (from the first bin) for RegfBins.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_CELLS_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_CELLS_H

#include "platform/offline/regf_format.h"

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// The cells of the hive file in fd, read with pread as they are asked for
// and written back with pwrite: only what is read or changed is ever in
// memory. A cell is checked before it is handed out: it lies in the bins the
// base block describes, on an 8-byte boundary, is in use, and holds what the
// caller needs. Nothing is written before WriteBack.
class RegfCells {
public:
    // Reads and checks the base block and the first bin's header. False
    // when they cannot be read (errno set), or are not a hive's or the file
    // is shorter than its bins (errno 0).
    bool Open(int fd);
    const RegfHeader &Header() const { return header_; }
    uint64_t BinsEnd() const { return binsEnd_; }
    // The base block and the first bin's header after it, to be changed:
    // both are written back whole.
    unsigned char *Base() { return base_; }

    // The record of the cell in use at file offset at, when it holds at
    // least need bytes and starts with sig (when given): a pointer valid
    // until the next Read, to the changed copy when the cell was changed,
    // and the record's size in *size (when given). NULL otherwise, with
    // errno set when the file could not be read.
    const unsigned char *Read(uint64_t at, uint64_t need, const char *sig = NULL,
                              uint64_t *size = NULL);
    // The same, to be changed: a copy that stays until WriteBack, which
    // writes it back whole.
    unsigned char *Change(uint64_t at, uint64_t need, const char *sig = NULL);
    // Marks the cell in use at at free (it keeps its size); false when there
    // is no cell in use there.
    bool Free(uint64_t at);

    // Writes the base block and every changed cell back; false (errno set)
    // when a write fails.
    bool WriteBack();

    // Reads from now on in windows of size bytes (0: each cell by itself),
    // for a walk over many cells that lie close together.
    void ReadAhead(size_t size);

private:
    // Reads the cell at at into *cell (size field and record; the first
    // bytes only unless whole); its size, 0 when there is no cell in use
    // there.
    uint64_t Load(uint64_t at, std::string *cell, bool whole);
    // n bytes of the file at at into out, through the window when there is one.
    bool Bytes(uint64_t at, size_t n, char *out);
    unsigned char *Checked(std::string &cell, uint64_t need, const char *sig);

    int fd_ = -1;
    unsigned char base_[kRegfBaseBlockSize + regf_bin::kHeaderSize];
    RegfHeader header_ = {};
    uint64_t binsEnd_ = 0;
    std::string scratch_;                   // the cell last read
    size_t window_ = 0;                     // see ReadAhead
    std::string ahead_;                     // the window last read, from aheadAt_
    uint64_t aheadAt_ = 0;
    std::map<uint64_t, std::string> changed_; // cells to write back, by offset
    std::vector<std::pair<uint64_t, uint32_t>> freed_; // size fields to write back
};

// New bins, laid out behind the bins that exist: cells are placed one after
// another, a bin is opened for the first cell that does not fit the current
// one, as large as that cell needs in 4 KB blocks, and what a bin has left
// when the next opens (or at Close) is one free cell.
class RegfBins {
public:
    // Bins from offset start (from the first bin), their headers given time.
    RegfBins(uint32_t start, uint64_t time) : start_(start), time_(time) {}

    // A zeroed cell in use with room for payload bytes; its offset, or
    // kRegfNoCell when the bins would outgrow what the base block can hold.
    uint32_t Place(uint64_t payload);
    // The record of the cell at offset cell (one of these bins): valid until
    // the next Place.
    unsigned char *Record(uint32_t cell) { return (unsigned char *)&bytes_[cell - start_ + 4]; }
    // Closes the last bin; the bins are then Bytes(), from Start() to End().
    void Close();
    uint32_t Start() const { return start_; }
    uint32_t End() const { return start_ + (uint32_t)bytes_.size(); }
    const std::string &Bytes() const { return bytes_; }

private:
    uint32_t start_;
    uint64_t time_;
    std::string bytes_;
    size_t next_ = 0;
};

// Places data of size bytes (more than one segment) in bins as Windows keeps
// big data: a "db" record, the list of the segments, then the segments, each
// (the last one too) in a cell of one segment and 4 spare bytes, as readers
// take it to have. The db record's offset, or kRegfNoCell when the bins
// cannot hold it or it has over 65,535 segments.
uint32_t RegfPutBigData(RegfBins &bins, const unsigned char *data, size_t size);

#endif

// The last pass over a hive file that hivex has just written: what hivex does
// not do as Windows does. Every key that a run created or changed gets the
// run's time as its last-write time, and so does the base block; the subkey
// lists of the keys the run added children to are put in the registry's
// order (hivex places a new key by a lower-case comparison, Windows looks
// keys up by the upper-case one), with the hash or hint of each of their
// entries made as the kernel makes it (hivex's are wrong beyond ASCII); and in a hive of format 1.4 or later, every
// value longer than one cell may hold (16,344 bytes) of the keys whose values
// hivex rewrote is put in the big-data form ("db" record, segment list,
// segments).
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_FINISH_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_FINISH_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

// Windows keeps data longer than this in segments of this size.
const uint32_t kRegfBigDataSegment = 16344;

// What a run did to a hive, for the last pass. Keys are file offsets of key
// cells (what hivex hands out as node handles); a key may be listed twice.
struct RegfFinish {
    uint64_t time = 0;               // FILETIME: 100 ns steps since 1601, UTC
    std::vector<uint32_t> stamped;   // keys created or changed: given time
    std::vector<uint32_t> grown;     // keys given new subkeys: lists sorted
    std::vector<uint32_t> rewritten; // keys whose values hivex wrote anew
    // Cells that nothing points to any more but that are still allocated
    // (see CollectBigDataCells): freed.
    std::vector<uint32_t> orphaned;
};

// Finishes the hive in fd in place: stamps the keys and the base block (and
// the first bin, where its time is kept), frees the orphaned cells, sorts
// the subkey lists of the grown keys and makes their hashes and hints anew,
// moves large values of the rewritten keys into big-data records in new bins
// at the end of the file (their old cells freed), and updates the size of
// the bins and the checksum in the base block. Returns how many values it moved, or -1 when the file cannot
// be read or written or does not hold what it should (it may then be partly
// changed: only use it on a file that is not yet the hive).
long FinishCommittedHive(int fd, const RegfFinish &what);

// hivex frees the "db" record of a value it rewrites, but not its segment
// list nor its segments. Given the file offset of a value's data cell in fd
// (a file holding the value as the run found it), appends the offsets of the
// cells that are left behind when it is a "db" record, nothing when it is a
// plain cell. False when the record is malformed or cannot be read.
bool CollectBigDataCells(int fd, uint32_t cell, std::vector<uint32_t> *cells);

#endif

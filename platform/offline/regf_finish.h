// The last pass over a hive file that hivex has just written: what hivex does
// not do as Windows does. Every key that a run created or changed gets the
// run's time as its last-write time, and so does the base block; the subkey
// lists of the keys the run added children to are put in the registry's
// order (hivex places a new key by a lower-case comparison, Windows looks
// keys up by the upper-case one), with the hash or hint of each of their
// entries made as the kernel makes it (hivex's are wrong beyond ASCII); in a
// format that has no hash leaves (1.3, Windows 2000), every hash leaf is made
// a fast leaf; and in a format with big data, every value longer than one
// segment of the keys whose values hivex rewrote is put in that form.
//
// The pass reads and writes only the cells it needs, and relies on these
// facts of how hivex writes a hive, each checked before anything is written:
// - a node handle is the file offset of the key's record;
// - a value's data is written in one cell, whatever its length;
// - the big data of a value it rewrites is left in use and untouched (those
//   cells, collected beforehand, are freed by the pass).
// New bins are put where the base block says the bins end.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_FINISH_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_FINISH_H

#include "platform/offline/regf_big_data.h"
#include "platform/offline/regf_cells.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

// What a run did to a hive, for the last pass. Keys are file offsets of key
// cells (what hivex hands out as node handles); a key may be listed twice.
struct RegfFinish {
    uint64_t time = 0;               // FILETIME: 100 ns steps since 1601, UTC
    std::vector<uint32_t> stamped;   // keys created or changed: given time
    std::vector<uint32_t> grown;     // keys given new subkeys: lists sorted
    std::vector<uint32_t> rewritten; // keys whose values hivex wrote anew
    std::vector<RegfOrphan> orphaned; // see CollectBigDataCells (regf_big_data.h): freed
    // The names of keys already known (UTF-8, as hivex gives them) by the
    // file offset of their records, in the order of the offsets: the
    // children of the grown keys that the run has looked up, whose records
    // the pass then need not read. The names belong to the caller.
    std::vector<std::pair<uint32_t, const std::string *>> names;
};

// Finishes the hive in fd in place: stamps the keys and the base block (and
// the first bin, where its time is kept), frees the orphaned cells, makes the
// subkey lists of a 1.3 hive fast leaves, sorts the subkey lists of the grown
// keys and makes their hashes and hints anew, moves large values of the
// rewritten keys into big-data records in new bins at the end of the file
// (their old cells freed), and updates the size of the bins and the checksum
// in the base block. kRegfOk, with *moved (when given) the number of values
// moved; otherwise why it stopped: the file could not be read or written
// (kRegfIoError, *ioError the system's error code), it does not hold what
// hivex wrote (kRegfNotACell, kRegfWrongKind), or hivex laid the hive out
// otherwise than the pass relies on (kRegfUnknownLayout, and nothing was
// written). After a failure the file may be partly changed: only use it on a
// file that is not yet the hive.
RegfStatus FinishCommittedHive(int fd, const RegfFinish &what, long *moved = NULL, int *ioError = NULL);

#endif

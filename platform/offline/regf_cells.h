// The cells of a hive: read one at a time from a hive file, checked, and
// changed in place (RegfCells); and laid out in new bins (RegfBins). Offsets are file offsets
// for RegfCells, as records hold them (from the first bin) for RegfBins.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_CELLS_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_CELLS_H

#include "platform/offline/regf_format.h"

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// What an access to a hive's cells met. Each is its own value, never told
// through errno: a library call between the failure and its reader may
// change errno.
enum RegfStatus {
    kRegfOk = 0,
    kRegfIoError,      // the file could not be read or written, or memory ran out
                       // (RegfCells::IoError, or the caller's error, says why)
    kRegfNotACell,     // no cell in use where the hive says one is (outside the
                       // bins, off the 8-byte grid, free, or past its bin's end)
    kRegfWrongKind,    // a cell smaller than its record, or of another kind
    kRegfUnknownLayout // laid out otherwise than this program knows (the last pass)
};

// The cells of the hive file in fd, read with pread as they are asked for
// and written back with pwrite: only what is read or changed is ever in
// memory. A cell is checked before it is handed out: it lies in the bins the
// base block describes, on an 8-byte boundary, is in use, and holds what the
// caller needs. Nothing is written before WriteBack. Every call that can
// fail leaves what it met in Status().
class RegfCells {
public:
    // Reads and checks the base block and the first bin's header. False
    // when they cannot be read (kRegfIoError), or when the base block is not
    // one the load takes (RegfCheckBaseBlock), its bins in the file
    // included (kRegfNotACell).
    bool Open(int fd);
    // What the last Open, Read, Change, Free or WriteBack met, and with
    // kRegfIoError the system's error code.
    RegfStatus Status() const { return status_; }
    int IoError() const { return ioError_; }
    const RegfHeader &Header() const { return header_; }
    uint64_t BinsEnd() const { return binsEnd_; }
    // The base block and the first bin's header after it, to be changed:
    // both are written back whole.
    unsigned char *Base() { return base_; }

    // The record of the cell in use at file offset at, when it holds at
    // least need bytes and starts with sig (when given): a pointer valid
    // until the next Read, to the changed copy when the cell was changed,
    // and the record's size in *size (when given). NULL otherwise, with
    // Status() saying why.
    const unsigned char *Read(uint64_t at, uint64_t need, const char *sig = NULL,
                              uint64_t *size = NULL);
    // The same, to be changed: a copy that stays until WriteBack, which
    // writes it back whole. The cell the last Read handed out whole is taken
    // as it was read, not read again.
    unsigned char *Change(uint64_t at, uint64_t need, const char *sig = NULL);
    // Marks the cell in use at at free (it keeps its size); false when there
    // is no cell in use there.
    bool Free(uint64_t at);

    // Writes the base block and every changed cell back; false
    // (kRegfIoError) when a write fails.
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
    // Ends a call that failed for want of the file: the error kept.
    bool Failed();

    int fd_ = -1;
    unsigned char base_[kRegfBaseBlockSize + regf_bin::kHeaderSize];
    RegfHeader header_ = {};
    uint64_t binsEnd_ = 0;
    RegfStatus status_ = kRegfOk;
    int ioError_ = 0;
    std::string scratch_;                   // the cell last read, whole when
    uint64_t scratchAt_ = 0;                // this is its offset (0: none)
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

#endif

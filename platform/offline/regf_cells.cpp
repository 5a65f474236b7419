// Cells read from a hive file and changed in place; new bins.
#include "platform/offline/regf_cells.h"

#include "platform/offline/regf_bytes.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

// What is read of a cell before its size is known: a key record and its
// name, most lists and values, in one call.
const size_t kFirstRead = 256;

} // namespace

bool RegfCells::Open(int fd)
{
    fd_ = fd;
    status_ = kRegfOk;
    if (!ReadAllAt(fd, base_, sizeof base_, 0))
        return Failed();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Failed();
    if (RegfCheckBaseBlock(base_, sizeof base_, (uint64_t)st.st_size, &header_) != kRegfBaseOk) {
        status_ = kRegfNotACell;
        return false;
    }
    binsEnd_ = kRegfBinsStart + header_.binsSize;
    return true;
}

bool RegfCells::Failed()
{
    status_ = kRegfIoError;
    ioError_ = errno != 0 ? errno : EIO; // a short read or write is the disk's fault too
    return false;
}

uint64_t RegfCells::Load(uint64_t at, std::string *cell, bool whole)
{
    status_ = kRegfNotACell;
    if (at < kRegfBinsStart + regf_bin::kHeaderSize || at % 8 != 0 || at + 4 > binsEnd_)
        return 0;
    size_t first = (size_t)std::min<uint64_t>(kFirstRead, binsEnd_ - at);
    cell->resize(first);
    if (!Bytes(at, first, &(*cell)[0]))
        return Failed();
    int32_t raw = (int32_t)Get32(*cell, 0);
    if (raw >= 0 || raw == INT32_MIN || at + (uint64_t)(-(int64_t)raw) > binsEnd_)
        return 0;
    uint64_t size = (uint64_t)(-(int64_t)raw);
    status_ = kRegfOk;
    if (!whole || size <= first) {
        cell->resize((size_t)std::min<uint64_t>(size, first));
        return size;
    }
    cell->resize((size_t)size);
    if (!Bytes(at + first, (size_t)size - first, &(*cell)[first]))
        return Failed();
    return size;
}

bool RegfCells::Bytes(uint64_t at, size_t n, char *out)
{
    if (window_ == 0)
        return ReadAllAt(fd_, out, n, (off_t)at);
    if (at < aheadAt_ || at + n > aheadAt_ + ahead_.size()) {
        // The window of the file that holds at, or from it as far as needed.
        uint64_t start = at - at % window_;
        uint64_t end = std::min<uint64_t>(std::max<uint64_t>(start + window_, at + n), binsEnd_);
        ahead_.resize((size_t)(end - start));
        aheadAt_ = start;
        if (!ReadAllAt(fd_, &ahead_[0], ahead_.size(), (off_t)start)) {
            ahead_.clear();
            return false;
        }
    }
    memcpy(out, &ahead_[(size_t)(at - aheadAt_)], n);
    return true;
}

void RegfCells::ReadAhead(size_t size)
{
    window_ = size;
    ahead_.clear();
    ahead_.shrink_to_fit();
}

unsigned char *RegfCells::Checked(std::string &cell, uint64_t need, const char *sig)
{
    if (cell.size() < 4 + need || (sig != NULL && (cell.size() < 6 || memcmp(&cell[4], sig, 2) != 0))) {
        status_ = kRegfWrongKind;
        return NULL;
    }
    status_ = kRegfOk;
    return (unsigned char *)&cell[4];
}

const unsigned char *RegfCells::Read(uint64_t at, uint64_t need, const char *sig, uint64_t *size)
{
    auto it = changed_.find(at);
    std::string *cell = &scratch_;
    if (it != changed_.end()) {
        cell = &it->second;
    } else {
        scratchAt_ = 0;
        if (Load(at, &scratch_, true) == 0)
            return NULL;
        scratchAt_ = at;
    }
    const unsigned char *record = Checked(*cell, need, sig);
    if (record != NULL && size != NULL)
        *size = cell->size() - 4;
    return record;
}

unsigned char *RegfCells::Change(uint64_t at, uint64_t need, const char *sig)
{
    auto it = changed_.find(at);
    if (it != changed_.end())
        return Checked(it->second, need, sig);
    std::string cell;
    if (at != 0 && at == scratchAt_) {
        cell.swap(scratch_);
        scratchAt_ = 0;
    } else if (Load(at, &cell, true) == 0) {
        return NULL;
    }
    if (Checked(cell, need, sig) == NULL)
        return NULL;
    return (unsigned char *)&changed_.emplace(at, std::move(cell)).first->second[4];
}

bool RegfCells::Free(uint64_t at)
{
    auto it = changed_.find(at);
    if (it != changed_.end()) {
        Put32(it->second, 0, (uint32_t)it->second.size());
        status_ = kRegfOk;
        return true;
    }
    if (at == scratchAt_)
        scratchAt_ = 0; // read in use, now free
    std::string cell;
    uint64_t size = Load(at, &cell, false);
    if (size == 0)
        return false;
    freed_.push_back({at, (uint32_t)size});
    return true;
}

bool RegfCells::WriteBack()
{
    status_ = kRegfOk;
    if (!WriteAllAt(fd_, base_, sizeof base_, 0))
        return Failed();
    for (const auto &c : changed_)
        if (!WriteAllAt(fd_, c.second.data(), c.second.size(), (off_t)c.first))
            return Failed();
    for (const auto &f : freed_) {
        unsigned char field[4];
        Put32(field, f.second);
        if (!WriteAllAt(fd_, field, 4, (off_t)f.first))
            return Failed();
    }
    return true;
}

uint32_t RegfBins::Place(uint64_t payload)
{
    uint64_t size = RegfCellSizeFor(payload);
    if (next_ + size > bytes_.size()) {
        Close();
        uint64_t binSize = (regf_bin::kHeaderSize + size + kRegfBinBlock - 1) / kRegfBinBlock * kRegfBinBlock;
        size_t at = bytes_.size();
        if (start_ + at + binSize > kRegfMaxBinsSize)
            return kRegfNoCell;
        bytes_.append((size_t)binSize, '\0');
        memcpy(&bytes_[at + regf_bin::kSignature], "hbin", 4);
        Put32(bytes_, at + regf_bin::kOffset, (uint32_t)(start_ + at));
        Put32(bytes_, at + regf_bin::kSize, (uint32_t)binSize);
        Put64(bytes_, at + regf_bin::kTime, time_);
        next_ = at + regf_bin::kHeaderSize;
    }
    uint32_t cell = start_ + (uint32_t)next_;
    Put32(bytes_, next_, (uint32_t)(-(int32_t)size));
    next_ += (size_t)size;
    return cell;
}

void RegfBins::Close()
{
    if (next_ < bytes_.size())
        Put32(bytes_, next_, (uint32_t)(bytes_.size() - next_)); // the free rest
    next_ = bytes_.size();
}

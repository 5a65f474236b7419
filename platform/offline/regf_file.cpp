// The hive file format where it is read or patched in place: the base block
// and the rewriting of hash leaves into fast leaves.
#include "platform/offline/regf_file.h"

#include "platform/emulated/key_names.h"
#include "platform/offline/regf_bytes.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <vector>

namespace {

const size_t kBinStart = 0x1000;
const uint32_t kNoCell = 0xFFFFFFFFu;

uint16_t NameUnit(const unsigned char *name, size_t i, bool compressed)
{
    return compressed ? name[i] : Get16(name + 2 * i);
}

} // namespace

uint32_t RegfNameHash(const unsigned char *name, size_t length, bool compressed)
{
    size_t count = compressed ? length : length / 2;
    uint32_t hash = 0;
    for (size_t i = 0; i < count; i++)
        hash = hash * 37 + UpperNameUnit(NameUnit(name, i, compressed));
    return hash;
}

uint32_t RegfNameHint(const unsigned char *name, size_t length, bool compressed)
{
    size_t count = compressed ? length : length / 2;
    unsigned char hint[4] = {0, 0, 0, 0};
    for (size_t j = count < 4 ? count : 4; j > 0; j--) {
        uint16_t unit = NameUnit(name, j - 1, compressed);
        if (unit > 0xFF)
            break;
        hint[j - 1] = (unsigned char)unit;
    }
    return Get32(hint);
}

uint32_t RegfChecksum(const unsigned char *block)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4)
        sum ^= Get32(block + i);
    if (sum == 0xFFFFFFFFu)
        sum = 0xFFFFFFFEu;
    if (sum == 0)
        sum = 1;
    return sum;
}

bool ParseRegfHeader(const unsigned char *block, size_t size, RegfHeader *out)
{
    if (size < kRegfBaseBlockSize || memcmp(block, "regf", 4) != 0)
        return false;
    out->sequence1 = Get32(block + 4);
    out->sequence2 = Get32(block + 8);
    out->major = Get32(block + 0x14);
    out->minor = Get32(block + 0x18);
    out->rootCell = Get32(block + 0x24);
    out->binsSize = Get32(block + 0x28);
    out->checksumOk = RegfChecksum(block) == Get32(block + 0x1FC);
    return true;
}

long ConvertHashLeavesToFastLeaves(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < (off_t)(kBinStart + 0x20))
        return -1;
    size_t size = (size_t)st.st_size;
    std::vector<unsigned char> file;
    std::vector<uint32_t> pending;
    try {
        file.resize(size);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (!ReadAllAt(fd, file.data(), size, 0))
        return -1;
    RegfHeader header;
    if (!ParseRegfHeader(file.data(), size, &header))
        return -1;

    // The cell at a bin offset, its signature and usable size checked.
    auto cell = [&](uint32_t off, const char *sig, size_t need) -> unsigned char * {
        if (off == kNoCell || (size_t)off + kBinStart + 4 + need > size || (off & 7) != 0)
            return NULL;
        unsigned char *c = file.data() + kBinStart + off;
        int32_t cellSize = (int32_t)Get32(c);
        if (cellSize >= 0 || (size_t)(-(int64_t)cellSize) < 4 + need ||
            (size_t)off + kBinStart + (size_t)(-(int64_t)cellSize) > size)
            return NULL;
        if (memcmp(c + 4, sig, 2) != 0)
            return NULL;
        return c + 4;
    };

    long converted = 0;
    size_t visits = 0;
    const size_t maxVisits = size / 8;
    try {
        pending.push_back(header.rootCell);
        while (!pending.empty()) {
            uint32_t nkOff = pending.back();
            pending.pop_back();
            if (++visits > maxVisits)
                return -1;
            unsigned char *nk = cell(nkOff, "nk", 0x4C);
            if (nk == NULL)
                return -1;
            uint32_t count = Get32(nk + 0x14);
            uint32_t listOff = Get32(nk + 0x1C);
            if (count == 0)
                continue;
            // A subkey list, or an index of lists; nothing nests deeper.
            std::vector<uint32_t> lists;
            unsigned char *ri = cell(listOff, "ri", 4);
            if (ri != NULL) {
                uint16_t n = Get16(ri + 2);
                if (cell(listOff, "ri", 4 + 4 * (size_t)n) == NULL)
                    return -1;
                for (uint16_t i = 0; i < n; i++)
                    lists.push_back(Get32(ri + 4 + 4 * i));
            } else {
                lists.push_back(listOff);
            }
            for (uint32_t lo : lists) {
                unsigned char *l;
                if ((l = cell(lo, "li", 4)) != NULL) {
                    uint16_t n = Get16(l + 2);
                    if (cell(lo, "li", 4 + 4 * (size_t)n) == NULL)
                        return -1;
                    for (uint16_t i = 0; i < n; i++)
                        pending.push_back(Get32(l + 4 + 4 * i));
                    continue;
                }
                bool hashed = (l = cell(lo, "lh", 4)) != NULL;
                if (!hashed && (l = cell(lo, "lf", 4)) == NULL)
                    return -1;
                uint16_t n = Get16(l + 2);
                if (cell(lo, hashed ? "lh" : "lf", 4 + 8 * (size_t)n) == NULL)
                    return -1;
                for (uint16_t i = 0; i < n; i++) {
                    unsigned char *entry = l + 4 + 8 * i;
                    uint32_t child = Get32(entry);
                    pending.push_back(child);
                    if (!hashed)
                        continue;
                    unsigned char *ck = cell(child, "nk", 0x4C);
                    if (ck == NULL)
                        return -1;
                    uint16_t nameLen = Get16(ck + 0x48);
                    if (cell(child, "nk", 0x4C + (size_t)nameLen) == NULL)
                        return -1;
                    Put32(entry + 4, RegfNameHint(ck + 0x4C, nameLen, (Get16(ck + 2) & 0x20) != 0));
                }
                if (hashed) {
                    memcpy(l, "lf", 2);
                    size_t at = (size_t)(l - file.data());
                    if (!WriteAllAt(fd, l, 4 + 8 * (size_t)n, (off_t)at))
                        return -1;
                    converted++;
                }
            }
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return converted;
}

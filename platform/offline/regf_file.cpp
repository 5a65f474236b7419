#include "platform/offline/regf_file.h"

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

uint32_t Get32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint16_t Get16(const unsigned char *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

void Put32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

void Put16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

void Put64(unsigned char *p, uint64_t v)
{
    Put32(p, (uint32_t)v);
    Put32(p + 4, (uint32_t)(v >> 32));
}

// Now, as a Windows FILETIME (100 ns steps since 1601).
uint64_t FileTimeNow()
{
    return ((uint64_t)time(NULL) + 11644473600ull) * 10000000ull;
}

bool WriteAll(int fd, const unsigned char *p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
        at += w;
    }
    return true;
}

bool ReadAll(int fd, unsigned char *p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t r = pread(fd, p, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= (size_t)r;
        at += r;
    }
    return true;
}

// A self-relative security descriptor: owner Administrators, group SYSTEM,
// and a DACL giving Administrators and SYSTEM full control and Everyone read
// access, inherited by subkeys.
size_t BuildSecurityDescriptor(unsigned char *sd)
{
    static const unsigned char kAdmins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    static const unsigned char kSystem[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    static const unsigned char kEveryone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    struct Ace {
        const unsigned char *sid;
        size_t size;
        uint32_t mask;
    } aces[3] = {{kAdmins, 16, 0xF003F}, {kSystem, 12, 0xF003F}, {kEveryone, 12, 0x20019}};

    size_t n = 20;
    size_t owner = n;
    memcpy(sd + n, kAdmins, 16);
    n += 16;
    size_t group = n;
    memcpy(sd + n, kSystem, 12);
    n += 12;
    size_t dacl = n;
    size_t aclStart = n;
    n += 8;
    for (const Ace &a : aces) {
        sd[n] = 0;    // ACCESS_ALLOWED_ACE_TYPE
        sd[n + 1] = 2; // CONTAINER_INHERIT_ACE
        Put16(sd + n + 2, (uint16_t)(8 + a.size));
        Put32(sd + n + 4, a.mask);
        memcpy(sd + n + 8, a.sid, a.size);
        n += 8 + a.size;
    }
    sd[aclStart] = 2; // ACL_REVISION
    sd[aclStart + 1] = 0;
    Put16(sd + aclStart + 2, (uint16_t)(n - aclStart));
    Put16(sd + aclStart + 4, 3);
    Put16(sd + aclStart + 6, 0);

    sd[0] = 1;
    sd[1] = 0;
    Put16(sd + 2, 0x8004); // SE_SELF_RELATIVE | SE_DACL_PRESENT
    Put32(sd + 4, (uint32_t)owner);
    Put32(sd + 8, (uint32_t)group);
    Put32(sd + 12, 0);
    Put32(sd + 16, (uint32_t)dacl);
    return n;
}

size_t Align8(size_t n) { return (n + 7) & ~(size_t)7; }

} // namespace

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

bool WriteEmptyHive(int fd, uint32_t minor, const char *rootName)
{
    size_t nameLen = strlen(rootName);
    if (nameLen == 0 || nameLen > 255)
        return false;
    const size_t binSize = 0x1000;
    unsigned char file[kBinStart + binSize];
    memset(file, 0, sizeof file);
    uint64_t now = FileTimeNow();

    unsigned char *bin = file + kBinStart;
    memcpy(bin, "hbin", 4);
    Put32(bin + 4, 0);
    Put32(bin + 8, (uint32_t)binSize);
    Put64(bin + 0x14, now);

    // Cells, by offset from the first bin: the root key, then its security.
    const uint32_t rootCell = 0x20;
    size_t nkSize = Align8(4 + 0x4C + nameLen);
    uint32_t skCell = rootCell + (uint32_t)nkSize;
    unsigned char sd[128];
    size_t sdSize = BuildSecurityDescriptor(sd);
    size_t skSize = Align8(4 + 0x14 + sdSize);
    size_t used = skCell + skSize;
    if (used + 8 > binSize)
        return false;

    unsigned char *nk = bin + rootCell;
    Put32(nk, (uint32_t)-(int32_t)nkSize);
    unsigned char *k = nk + 4;
    memcpy(k, "nk", 2);
    Put16(k + 2, 0x2C); // KEY_HIVE_ENTRY | KEY_NO_DELETE | KEY_COMP_NAME
    Put64(k + 4, now);
    Put32(k + 0x10, 0);      // parent: none for the root
    Put32(k + 0x14, 0);      // subkeys
    Put32(k + 0x18, 0);      // volatile subkeys
    Put32(k + 0x1C, kNoCell); // subkey list
    Put32(k + 0x20, kNoCell); // volatile subkey list
    Put32(k + 0x24, 0);      // values
    Put32(k + 0x28, kNoCell); // value list
    Put32(k + 0x2C, skCell);
    Put32(k + 0x30, kNoCell); // class name
    Put16(k + 0x48, (uint16_t)nameLen);
    Put16(k + 0x4A, 0);
    memcpy(k + 0x4C, rootName, nameLen);

    unsigned char *sk = bin + skCell;
    Put32(sk, (uint32_t)-(int32_t)skSize);
    unsigned char *s = sk + 4;
    memcpy(s, "sk", 2);
    Put32(s + 4, skCell); // the only security cell: its own neighbour
    Put32(s + 8, skCell);
    Put32(s + 0x0C, 1);   // used by the root key
    Put32(s + 0x10, (uint32_t)sdSize);
    memcpy(s + 0x14, sd, sdSize);

    // The rest of the bin is one free cell.
    Put32(bin + used, (uint32_t)(binSize - used));

    unsigned char *base = file;
    memcpy(base, "regf", 4);
    Put32(base + 4, 1);
    Put32(base + 8, 1);
    Put64(base + 0x0C, now);
    Put32(base + 0x14, 1);
    Put32(base + 0x18, minor);
    Put32(base + 0x1C, 0); // primary file
    Put32(base + 0x20, 1); // direct memory load
    Put32(base + 0x24, rootCell);
    Put32(base + 0x28, (uint32_t)binSize);
    Put32(base + 0x2C, 1);
    Put32(base + 0x1FC, RegfChecksum(base));

    if (ftruncate(fd, 0) != 0)
        return false;
    return WriteAll(fd, file, sizeof file, 0);
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
    if (!ReadAll(fd, file.data(), size, 0))
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
                    bool compressed = (Get16(ck + 2) & 0x20) != 0;
                    unsigned char hint[4] = {0, 0, 0, 0};
                    for (size_t j = 0; j < 4; j++) {
                        if (compressed) {
                            if (j < nameLen)
                                hint[j] = ck[0x4C + j];
                        } else if (2 * j + 1 < nameLen) {
                            uint16_t u = Get16(ck + 0x4C + 2 * j);
                            hint[j] = u < 0x100 ? (unsigned char)u : 0;
                        }
                    }
                    memcpy(entry + 4, hint, 4);
                }
                if (hashed) {
                    memcpy(l, "lf", 2);
                    size_t at = (size_t)(l - file.data());
                    if (!WriteAll(fd, l, 4 + 8 * (size_t)n, (off_t)at))
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

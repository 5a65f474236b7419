// The whole-hive check: the bins read once in order, then every key walked
// once from the root, over a read-only map of the file; the security cells
// are checked in regf_check_security.cpp.
#include "platform/offline/regf_check.h"

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_check_walk.h"
#include "platform/offline/regf_format.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

// Whether hivex can read a name as the record stores it: one byte a
// character, or UTF-16 of whole units in which every surrogate is paired.
bool ReadableName(const unsigned char *name, uint32_t length, bool compressed)
{
    if (compressed)
        return true;
    if (length % 2 != 0)
        return false;
    for (uint32_t i = 0; i < length; i += 2) {
        uint16_t unit = (uint16_t)Get16(name + i);
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint16_t next = i + 3 < length ? (uint16_t)Get16(name + i + 2) : 0;
            if (next < 0xDC00 || next > 0xDFFF)
                return false;
            i += 2;
        }
    }
    return true;
}

// What Windows takes of a key record.
const uint64_t kMaxKeyRecord = 0x45C;

} // namespace

namespace regf_check_walk {

// Cuts text to fit size bytes with its NUL, "..." at the end, never inside a
// character.
void Cut(std::string *text, size_t size)
{
    if (text->size() < size)
        return;
    size_t keep = size - 4;
    while (keep > 0 && ((unsigned char)(*text)[keep] & 0xC0) == 0x80)
        keep--;
    *text = text->substr(0, keep) + "...";
}

// A name as a record stores it (length bytes, one a character when
// compressed, else UTF-16LE), in UTF-8 for a message: control characters and
// broken surrogates shown as "?".
std::string ShownName(const unsigned char *stored, uint32_t length, bool compressed)
{
    std::string name;
    for (uint32_t i = 0; i < length; i += compressed ? 1 : 2) {
        uint32_t c = compressed ? stored[i] : i + 1 < length ? Get16(stored + i) : '?';
        if (!compressed && c >= 0xD800 && c < 0xDC00 && i + 3 < length && Get16(stored + i + 2) >= 0xDC00 &&
            Get16(stored + i + 2) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Get16(stored + i + 2) - 0xDC00);
            i += 2;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c < 0xE000))
            name += '?';
        else if (c < 0x80)
            name += (char)c;
        else if (c < 0x800)
            name += {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 0x3F))};
        else if (c < 0x10000)
            name += {(char)(0xE0 | c >> 12), (char)(0x80 | (c >> 6 & 0x3F)), (char)(0x80 | (c & 0x3F))};
        else
            name += {(char)(0xF0 | c >> 18), (char)(0x80 | (c >> 12 & 0x3F)), (char)(0x80 | (c >> 6 & 0x3F)),
                     (char)(0x80 | (c & 0x3F))};
    }
    return name;
}

// Every bin and cell, in file order.
bool Check::Bins()
{
    for (uint64_t bin = 0; bin < size;) {
        const unsigned char *b = bins + bin;
        uint32_t length = size - bin >= regf_bin::kHeaderSize ? Get32(b + regf_bin::kSize) : 0;
        if (length == 0 || memcmp(b + regf_bin::kSignature, "hbin", 4) != 0 ||
            Get32(b + regf_bin::kOffset) != bin || length % kRegfBinBlock != 0 || length > size - bin)
            return Fail(kRegfCheckBadBin, kRegfPartHive, bin);
        for (uint64_t cell = bin + regf_bin::kHeaderSize; cell < bin + length;) {
            int32_t raw = (int32_t)Get32(bins + cell);
            uint64_t cellSize = raw < 0 ? (uint64_t)(-(int64_t)raw) : (uint64_t)raw;
            if (cellSize < 8 || cellSize % 8 != 0 || cellSize > bin + length - cell)
                return Fail(kRegfCheckBadCell, kRegfPartHive, cell);
            if (raw < 0) {
                used.Set(cell);
                securityTotal += memcmp(bins + cell + 4, "sk", 2) == 0;
            }
            cell += cellSize;
        }
        bin += length;
    }
    return true;
}

// A key reached from its parent's list (or the root): checked, then its
// class, security and values, then its subkeys put on the stack.
bool Check::Key(const Pending &p, std::vector<Pending> *stack)
{
    chain.resize(p.depth);
    report->entry = p.entry;
    report->listed = p.depth > 0;
    uint64_t room = 0;
    const unsigned char *nk = Record(p.cell, kRegfPartKey, "nk", regf_nk::kName, &room);
    if (nk == NULL)
        return false;
    uint32_t nameLength = Get16(nk + regf_nk::kNameLength);
    if (nameLength == 0 || room > kMaxKeyRecord)
        return Fail(kRegfCheckBadKey, kRegfPartKey, p.cell);
    if (room < regf_nk::kName + (uint64_t)nameLength)
        return Fail(kRegfCheckTooShort, kRegfPartKey, p.cell, regf_nk::kName + (uint64_t)nameLength, room);
    if (!ReadableName(nk + regf_nk::kName, nameLength, (Get16(nk + regf_nk::kFlags) & regf_nk::kFlagCompressed) != 0))
        return Fail(kRegfCheckBadName, kRegfPartKey, p.cell);
    // From here on the key has a name, and what is wrong is said of it.
    size_t above = (size_t)(std::find(chain.begin(), chain.end(), p.cell) - chain.begin());
    chain.push_back(p.cell);
    report->listed = false;
    if (reached.Get(p.cell)) {
        if (above == p.depth)
            return Fail(kRegfCheckReachedTwice, kRegfPartKey, p.cell);
        Path(above + 1, report->other, sizeof report->other);
        return Fail(kRegfCheckLoop, kRegfPartKey, p.cell);
    }
    if (p.depth > 0 && Get32(nk + regf_nk::kParent) != p.parent)
        return Fail(kRegfCheckWrongParent, kRegfPartKey, p.cell);
    if (p.depth > kRegfCheckMaxDepth)
        return Fail(kRegfCheckTooDeep, kRegfPartKey, p.cell, kRegfCheckMaxDepth);
    if (++keyCount > kRegfCheckMaxKeys)
        return Fail(kRegfCheckTooManyKeys, kRegfPartKey, p.cell, kRegfCheckMaxKeys);
    reached.Set(p.cell);

    uint32_t classCell = Get32(nk + regf_nk::kClass), classLength = Get16(nk + regf_nk::kClassLength);
    if (classLength > 0 && classCell != kRegfNoCell && !Holds(classCell, kRegfPartClass, classLength))
        return false;
    return Security(Get32(nk + regf_nk::kSecurity)) && Values(nk) && Subkeys(p.cell, nk, p.depth, stack);
}

bool Check::Values(const unsigned char *nk)
{
    uint32_t count = Get32(nk + regf_nk::kValueCount), listCell = Get32(nk + regf_nk::kValueList);
    if (count == 0)
        return true;
    uint64_t room = 0;
    const unsigned char *list = Record(listCell, kRegfPartValues, &room);
    if (list == NULL)
        return false;
    if (room < 4 * (uint64_t)count)
        return Fail(kRegfCheckTooShort, kRegfPartValues, listCell, 4 * (uint64_t)count, room);
    if (!Spend(count, kRegfPartValues, listCell))
        return false;
    for (uint32_t i = 0; i < count; i++)
        if (!Value(Get32(list + 4 * (size_t)i), i))
            return false;
    report->valueNamed = false;
    return true;
}

bool Check::Value(uint32_t cell, uint32_t entry)
{
    report->entry = entry;
    report->valueNamed = false;
    uint64_t room = 0;
    const unsigned char *vk = Record(cell, kRegfPartValue, "vk", regf_vk::kName, &room);
    if (vk == NULL)
        return false;
    uint32_t nameLength = Get16(vk + regf_vk::kNameLength);
    if (room < regf_vk::kName + (uint64_t)nameLength)
        return Fail(kRegfCheckTooShort, kRegfPartValue, cell, regf_vk::kName + (uint64_t)nameLength, room);
    if (!ReadableName(vk + regf_vk::kName, nameLength, (Get16(vk + regf_vk::kFlags) & regf_vk::kFlagCompressed) != 0))
        return Fail(kRegfCheckBadName, kRegfPartValue, cell);
    uint32_t length = Get32(vk + regf_vk::kDataLength), data = Get32(vk + regf_vk::kData);
    if ((length & regf_vk::kDataInline) == 0 && length > 0 && InUse(data) && Room(data) >= length)
        return true; // the common case, a cell that holds it all: no name needed
    // From here on the value is named in what is said.
    std::string name = ShownName(vk + regf_vk::kName, nameLength,
                                 (Get16(vk + regf_vk::kFlags) & regf_vk::kFlagCompressed) != 0);
    Cut(&name, sizeof report->value);
    memcpy(report->value, name.c_str(), name.size() + 1);
    report->valueNamed = true;
    if ((length & regf_vk::kDataInline) != 0)
        return (length & ~regf_vk::kDataInline) <= 4 || Fail(kRegfCheckInlineTooLong, kRegfPartValue, cell);
    if (length == 0)
        return data == kRegfNoCell || Fail(kRegfCheckDataNotEmpty, kRegfPartValue, cell);
    // Where the format has big data, a longer value is a "db" record: the
    // list of its segments, each as long as a segment (the last as the rest).
    if (!traits.bigData || length <= kRegfBigDataSegment)
        return Holds(data, kRegfPartData, length);
    const unsigned char *db = Record(data, kRegfPartData, &room);
    if (db == NULL)
        return false;
    if (room < regf_db::kList + 4 || memcmp(db, "db", 2) != 0)
        return Fail(kRegfCheckTooShort, kRegfPartData, data, length, room);
    uint32_t count = Get16(db + regf_db::kCount), listCell = Get32(db + regf_db::kList);
    uint32_t needed = (uint32_t)((length + kRegfBigDataSegment - 1) / kRegfBigDataSegment);
    if (count < needed)
        return Fail(kRegfCheckFewSegments, kRegfPartData, data, needed, count);
    const unsigned char *list = Record(listCell, kRegfPartSegments, &room);
    if (list == NULL)
        return false;
    if (room < 4 * (uint64_t)count)
        return Fail(kRegfCheckTooShort, kRegfPartSegments, listCell, 4 * (uint64_t)count, room);
    if (!Spend(count, kRegfPartSegments, listCell))
        return false;
    for (uint32_t i = 0; i < count; i++) {
        report->entry = i;
        uint64_t part = i + 1 < needed ? kRegfBigDataSegment
                        : i + 1 == needed ? length - (uint64_t)kRegfBigDataSegment * (needed - 1)
                                          : 0;
        if (!Holds(Get32(list + 4 * (size_t)i), kRegfPartSegment, part))
            return false;
    }
    report->entry = entry;
    return true;
}

// The subkey list of the key at key: a leaf itself, or an index of leaves.
bool Check::Subkeys(uint32_t key, const unsigned char *nk, uint32_t depth, std::vector<Pending> *stack)
{
    uint32_t count = Get32(nk + regf_nk::kSubkeyCount), listCell = Get32(nk + regf_nk::kSubkeyList);
    if (count == 0)
        return true;
    uint64_t room = 0;
    const unsigned char *list = Record(listCell, kRegfPartSubkeys, &room);
    if (list == NULL)
        return false;
    bool index = room >= 2 && memcmp(list, "ri", 2) == 0;
    uint32_t leaves = 1;
    if (index) {
        leaves = room >= regf_list::kEntries ? Get16(list + regf_list::kCount) : 0;
        if (room < regf_list::kEntries + 4 * (uint64_t)leaves)
            return Fail(kRegfCheckTooShort, kRegfPartSubkeys, listCell, regf_list::kEntries + 4 * (uint64_t)leaves,
                        room);
        if (!Spend(leaves, kRegfPartSubkeys, listCell))
            return false;
    }
    size_t first = stack->size();
    RegfPart part = index ? kRegfPartLeaf : kRegfPartSubkeys;
    for (uint32_t k = 0; k < leaves; k++) {
        report->entry = k;
        uint32_t leafCell = index ? Get32(list + regf_list::kEntries + 4 * (size_t)k) : listCell;
        const unsigned char *leaf = Record(leafCell, part, &room);
        if (leaf == NULL)
            return false;
        bool li = room >= 2 && memcmp(leaf, "li", 2) == 0;
        if (room < regf_list::kEntries || !(li || memcmp(leaf, "lf", 2) == 0 || memcmp(leaf, "lh", 2) == 0))
            return Fail(kRegfCheckWrongKind, part, leafCell);
        uint32_t n = Get16(leaf + regf_list::kCount);
        size_t entrySize = li ? 4 : 8;
        if (room < regf_list::kEntries + entrySize * (uint64_t)n)
            return Fail(kRegfCheckTooShort, part, leafCell, regf_list::kEntries + entrySize * (uint64_t)n, room);
        uint64_t listed = stack->size() - first;
        if (listed + n > count)
            return Fail(kRegfCheckCountMismatch, kRegfPartSubkeys, listCell, count, listed + n);
        if (!Spend(n, part, leafCell))
            return false;
        for (uint32_t i = 0; i < n; i++)
            stack->push_back(Pending{Get32(leaf + regf_list::kEntries + entrySize * i), key, depth + 1,
                                     (uint32_t)listed + i});
    }
    if (stack->size() - first != count)
        return Fail(kRegfCheckCountMismatch, kRegfPartSubkeys, listCell, count, stack->size() - first);
    // Walked in the list's order.
    std::reverse(stack->begin() + (ptrdiff_t)first, stack->end());
    return true;
}

bool CheckMapped(Check &c, uint32_t root)
{
    c.used.Size(c.size);
    c.reached.Size(c.size);
    if (!c.Bins())
        return false;
    std::vector<Pending> stack = {Pending{root, kRegfNoCell, 0, 0}};
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        if (!c.Key(p, &stack))
            return false;
    }
    return c.SecurityList();
}

} // namespace regf_check_walk

using regf_check_walk::Check;

bool RegfCheckHive(int fd, RegfCheckReport *report)
{
    *report = RegfCheckReport();
    Check c;
    c.report = report;
    unsigned char base[kRegfBaseBlockSize];
    RegfHeader header;
    struct stat st;
    errno = 0;
    if (pread(fd, base, sizeof base, 0) != (ssize_t)sizeof base || fstat(fd, &st) != 0 ||
        RegfCheckBaseBlock(base, sizeof base, (uint64_t)st.st_size, &header) != kRegfBaseOk) {
        report->error = errno;
        return c.Fail(errno != 0 ? kRegfCheckUnreadable : kRegfCheckBadBin, kRegfPartHive, 0);
    }
    // The file as the load reads it anyway, mapped in whole: the walk reads
    // cells where they lie, in the order the keys refer to them.
    size_t length = (size_t)(kRegfBinsStart + header.binsSize);
    void *map = mmap(NULL, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) {
        report->error = errno;
        return c.Fail(kRegfCheckUnreadable, kRegfPartHive, 0);
    }
    c.bins = (const unsigned char *)map + kRegfBinsStart;
    c.size = header.binsSize;
    c.traits = RegfTraitsOf(header.minor);
    bool sound = false;
    try {
        sound = CheckMapped(c, header.rootCell);
    } catch (const std::bad_alloc &) {
        report->error = ENOMEM;
        sound = c.Fail(kRegfCheckUnreadable, kRegfPartHive, 0);
    }
    munmap(map, length);
    return sound;
}

// The whole-hive check: the bins read once in order, then every key walked
// once from the root, over a read-only map of the file.
#include "platform/offline/regf_check.h"

#include "platform/offline/regf_bytes.h"
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

// What Windows takes of a key record and a security descriptor.
const uint64_t kMaxKeyRecord = 0x45C;
const uint32_t kMinDescriptor = 20;

// One bit for every 8 bytes of the bins.
struct Bits {
    std::vector<uint64_t> words;
    void Size(uint64_t bytes) { words.assign((size_t)(bytes / 8 / 64 + 1), 0); }
    void Set(uint64_t at) { words[(size_t)(at / 8 / 64)] |= (uint64_t)1 << (at / 8 % 64); }
    bool Get(uint64_t at) const { return (words[(size_t)(at / 8 / 64)] >> (at / 8 % 64)) & 1; }
};

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

// A key waiting to be walked: where its parent's list points, the parent,
// how deep it is and which entry of that list it is.
struct Pending {
    uint32_t cell;
    uint32_t parent;
    uint32_t depth;
    uint32_t entry;
};

// One check of a hive: its bins, mapped; offsets below are of cells, from
// the first bin.
struct Check {
    RegfCheckReport *report;
    const unsigned char *bins = NULL;
    uint64_t size = 0;  // of the bins
    RegfTraits traits = {};
    Bits used;          // where a cell in use starts (cells checked to lie in their bins)
    Bits reached;       // the keys reached, and the security cells met
    std::vector<uint32_t> securityCells; // the security cells met, in that order
    uint64_t securityTotal = 0;          // the security cells in use in the bins
    uint64_t keyCount = 0, entries = 0;
    std::vector<uint32_t> chain; // the key being walked and those above it

    // Ends the check with damage of part at cell; the path is that of the
    // first count keys of the chain.
    bool Fail(RegfDamage damage, RegfPart part, uint64_t cell, uint64_t need = 0, uint64_t room = 0)
    {
        report->damage = damage;
        report->part = part;
        report->at = kRegfBinsStart + cell;
        report->need = need;
        report->room = room;
        Path(chain.size(), report->path, sizeof report->path);
        return false;
    }

    // The path of the first count keys of the chain, the root's name left out.
    void Path(size_t count, char *out, size_t outSize) const
    {
        std::string path;
        for (size_t i = 1; i < count; i++) {
            const unsigned char *nk = bins + chain[i] + 4;
            path += "\\" + ShownName(nk + regf_nk::kName, Get16(nk + regf_nk::kNameLength),
                                     (Get16(nk + regf_nk::kFlags) & regf_nk::kFlagCompressed) != 0);
        }
        Cut(&path, outSize);
        memcpy(out, path.c_str(), path.size() + 1);
    }

    bool InUse(uint32_t cell) const { return cell % 8 == 0 && cell < size && used.Get(cell); }
    // The size of the cell in use at cell, its size field left out.
    uint64_t Room(uint32_t cell) const { return (uint64_t)(-(int64_t)(int32_t)Get32(bins + cell)) - 4; }

    // The record of the cell in use at cell, and its size in *room; NULL
    // (the check failed) when there is none there.
    const unsigned char *Record(uint32_t cell, RegfPart part, uint64_t *room)
    {
        if (!InUse(cell)) {
            Fail(kRegfCheckNotACell, part, cell);
            return NULL;
        }
        *room = Room(cell);
        return bins + cell + 4;
    }
    // The same, when it must hold a record of kind sig of at least need bytes.
    const unsigned char *Record(uint32_t cell, RegfPart part, const char *sig, uint64_t need, uint64_t *room)
    {
        const unsigned char *r = Record(cell, part, room);
        if (r == NULL)
            return NULL;
        if (*room < 2 || memcmp(r, sig, 2) != 0) {
            Fail(kRegfCheckWrongKind, part, cell);
            return NULL;
        }
        if (*room < need) {
            Fail(kRegfCheckTooShort, part, cell, need, *room);
            return NULL;
        }
        return r;
    }
    // A cell in use at cell that holds need bytes.
    bool Holds(uint32_t cell, RegfPart part, uint64_t need)
    {
        if (!InUse(cell))
            return Fail(kRegfCheckNotACell, part, cell);
        uint64_t room = Room(cell);
        return room >= need || Fail(kRegfCheckTooShort, part, cell, need, room);
    }
    // n more list entries read.
    bool Spend(uint64_t n, RegfPart part, uint32_t cell)
    {
        entries += n;
        return entries <= kRegfCheckMaxEntries || Fail(kRegfCheckTooManyEntries, part, cell, kRegfCheckMaxEntries);
    }

    bool Bins();
    bool Key(const Pending &p, std::vector<Pending> *stack);
    bool Subkeys(uint32_t key, const unsigned char *nk, uint32_t depth, std::vector<Pending> *stack);
    bool Values(const unsigned char *nk);
    bool Value(uint32_t vk, uint32_t entry);
    bool Security(uint32_t cell);
    bool SecurityList();
};

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

// A security descriptor in self-relative form, as Windows takes it: its
// revision, and every SID and ACL it points to inside it.
bool ValidSid(const unsigned char *d, uint32_t length, uint32_t at)
{
    return at <= length && length - at >= 8 && d[at] == 1 && d[at + 1] <= 15 &&
           length - at >= 8 + 4 * (uint32_t)d[at + 1];
}

bool ValidAcl(const unsigned char *d, uint32_t length, uint32_t at)
{
    if (at > length || length - at < 8 || d[at] < 2 || d[at] > 4)
        return false;
    uint32_t size = Get16(d + at + 2), count = Get16(d + at + 4);
    if (size < 8 || size > length - at)
        return false;
    for (uint32_t i = 0, ace = 8; i < count; i++) {
        if (size - ace < 4)
            return false;
        uint32_t aceSize = Get16(d + at + ace + 2);
        if (aceSize < 4 || aceSize > size - ace)
            return false;
        ace += aceSize;
    }
    return true;
}

bool ValidDescriptor(const unsigned char *d, uint32_t length)
{
    if (length < kMinDescriptor || d[0] != 1)
        return false;
    uint16_t control = Get16(d + 2);
    uint32_t owner = Get32(d + 4), group = Get32(d + 8), sacl = Get32(d + 12), dacl = Get32(d + 16);
    const uint16_t selfRelative = 0x8000, daclPresent = 0x0004, saclPresent = 0x0010;
    return (control & selfRelative) != 0 && (owner == 0 || ValidSid(d, length, owner)) &&
           (group == 0 || ValidSid(d, length, group)) &&
           (!(control & daclPresent) || dacl == 0 || ValidAcl(d, length, dacl)) &&
           (!(control & saclPresent) || sacl == 0 || ValidAcl(d, length, sacl));
}

// A key's security cell; its descriptor is checked the first time a key
// refers to it.
bool Check::Security(uint32_t cell)
{
    uint64_t room = 0;
    const unsigned char *sk = Record(cell, kRegfPartSecurity, "sk", regf_sk::kDescriptor, &room);
    if (sk == NULL)
        return false;
    if (reached.Get(cell))
        return true;
    uint32_t length = Get32(sk + regf_sk::kLength);
    if (room - regf_sk::kDescriptor < length)
        return Fail(kRegfCheckTooShort, kRegfPartSecurity, cell, regf_sk::kDescriptor + (uint64_t)length, room);
    if (!ValidDescriptor(sk + regf_sk::kDescriptor, length))
        return Fail(kRegfCheckBadDescriptor, kRegfPartSecurity, cell);
    reached.Set(cell);
    securityCells.push_back(cell);
    return true;
}

// The security cells are one closed chain from the root's, each cell's next
// pointing back to it, that holds every one a key uses. The chain is
// followed at most as many steps as the bins hold security cells.
bool Check::SecurityList()
{
    chain.clear();
    report->entry = 0;
    if (securityCells.empty())
        return true;
    uint32_t first = securityCells[0], cell = first;
    uint64_t room = 0, steps = 0, usedOnList = 0;
    do {
        if (++steps > securityTotal)
            return Fail(kRegfCheckBadSecurityList, kRegfPartHive, cell);
        const unsigned char *sk = Record(cell, kRegfPartHive, "sk", regf_sk::kDescriptor, &room);
        if (sk == NULL)
            return false;
        usedOnList += reached.Get(cell);
        uint32_t next = Get32(sk + regf_sk::kNext);
        const unsigned char *n = Record(next, kRegfPartHive, "sk", regf_sk::kDescriptor, &room);
        if (n == NULL)
            return false;
        if (Get32(n + regf_sk::kPrevious) != cell)
            return Fail(kRegfCheckBadSecurityList, kRegfPartHive, cell);
        cell = next;
    } while (cell != first);
    // Back at the first within that many steps, no cell was met twice.
    if (usedOnList != securityCells.size()) {
        for (uint32_t used : securityCells) {
            bool on = false;
            cell = first;
            do {
                on = cell == used;
                cell = Get32(bins + cell + 4 + regf_sk::kNext);
            } while (!on && cell != first);
            if (!on)
                return Fail(kRegfCheckBadSecurityList, kRegfPartHive, used);
        }
    }
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

} // namespace

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

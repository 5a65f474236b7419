// The hive writer: a key tree laid out cell by cell in one pass.
#include "testing/regf_writer.h"

#include "platform/emulated/codepage.h"
#include "platform/emulated/key_names.h"
#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_file.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A name as the hive stores it: one byte a character when every character
// fits in Latin-1 (a "compressed" name), else UTF-16LE.
struct StoredName {
    std::string bytes;
    bool compressed;
    std::vector<uint16_t> units; // UTF-16, for sorting and hashing
};

StoredName StoreName(const std::string &utf8)
{
    StoredName n;
    n.compressed = true;
    std::vector<uint32_t> cps;
    const char *p = utf8.data();
    const char *end = p + utf8.size();
    while (p < end) {
        uint32_t cp = NextUtf8(&p, end);
        cps.push_back(cp);
        if (cp > 0xFF)
            n.compressed = false;
    }
    for (uint32_t cp : cps) {
        if (cp >= 0x10000) {
            n.units.push_back((uint16_t)(0xD800 + ((cp - 0x10000) >> 10)));
            n.units.push_back((uint16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            n.units.push_back((uint16_t)cp);
        }
        if (n.compressed)
            n.bytes.push_back((char)cp);
    }
    if (!n.compressed)
        for (uint16_t u : n.units) {
            n.bytes.push_back((char)(u & 0xFF));
            n.bytes.push_back((char)(u >> 8));
        }
    return n;
}

std::u16string UpperName(const std::string &utf8) { return KeyNameSortKey(utf8.data(), utf8.size()); }

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

const uint32_t kNoCell = 0xFFFFFFFFu;
const size_t kBin = 0x1000;         // bins are made of 4 KB blocks
const size_t kBinHeader = 0x20;
const size_t kMaxLeaf = 507;        // entries of a subkey list that fill one block
const size_t kMaxCellData = 16344;  // larger data goes in segments of this size (1.4 on)

// Lays out a whole hive in one pass: cells in 4 KB bins, in the order a key
// tree is walked (a key, its values, its subkeys, then its subkey list), with
// no free space but the tail of each bin that the next cell did not fit.
class HiveLayout {
public:
    HiveLayout(uint64_t stamp, const std::string &securityCell, uint32_t minor)
        : stamp_(stamp), security_(securityCell), minor_(minor) {}

    // The bins for root; false (with a message) when a value is too large.
    bool Build(const RegfKey &root, const std::string &rootName, std::string *error)
    {
        ok_ = true;
        size_t nk = 0x4C + rootName.size();
        rootCell_ = Alloc(nk);
        securityCell_ = Alloc(security_.size() - 4);
        bins_.replace(securityCell_, security_.size(), security_);
        Put32(bins_, securityCell_, (uint32_t) - (int32_t)AlignCell(security_.size() - 4));
        Put32(bins_, securityCell_ + 4 + 4, securityCell_);
        Put32(bins_, securityCell_ + 4 + 8, securityCell_);
        keys_ = 0;
        Fill(rootCell_, root, StoreName(rootName), 0);
        Put32(bins_, securityCell_ + 4 + 0x0C, keys_);
        CloseBin();
        if (!ok_)
            *error = error_;
        return ok_;
    }

    uint32_t RootCell() const { return rootCell_; }
    const std::string &Bins() const { return bins_; }

private:
    static size_t AlignCell(size_t payload) { return (4 + payload + 7) & ~(size_t)7; }

    void CloseBin()
    {
        if (next_ < binEnd_)
            Put32(bins_, next_, (uint32_t)(binEnd_ - next_)); // the free tail
        next_ = binEnd_;
    }

    // A zeroed used cell with room for payload bytes; its offset.
    uint32_t Alloc(size_t payload)
    {
        size_t size = AlignCell(payload);
        if (next_ + size > binEnd_) {
            CloseBin();
            size_t binSize = (kBinHeader + size + kBin - 1) / kBin * kBin;
            size_t at = bins_.size();
            bins_.append(binSize, '\0');
            bins_.replace(at, 4, "hbin");
            Put32(bins_, at + 4, (uint32_t)at);
            Put32(bins_, at + 8, (uint32_t)binSize);
            Put64(bins_, at + 0x14, stamp_);
            next_ = at + kBinHeader;
            binEnd_ = at + binSize;
        }
        size_t cell = next_;
        next_ += size;
        Put32(bins_, cell, (uint32_t) - (int32_t)size);
        return (uint32_t)cell;
    }

    uint32_t Data(const std::string &data)
    {
        uint32_t cell = Alloc(data.size());
        bins_.replace(cell + 4, data.size(), data);
        return cell;
    }

    uint32_t ValueCell(const RegfValue &v, size_t *nameLen)
    {
        StoredName name = StoreName(v.name);
        *nameLen = name.units.size() * 2;
        if (v.data.size() > 1000000) {
            error_ = "the value " + v.name + " is too large for this writer";
            ok_ = false;
            return kNoCell;
        }
        uint32_t cell = Alloc(0x14 + name.bytes.size());
        size_t k = cell + 4;
        bins_.replace(k, 2, "vk");
        Put16(bins_, k + 2, (uint16_t)name.bytes.size());
        if (v.data.size() <= 4) {
            // Up to four bytes are kept in the value cell itself.
            Put32(bins_, k + 4, 0x80000000u | (uint32_t)v.data.size());
            bins_.replace(k + 8, v.data.size(), v.data);
        } else {
            Put32(bins_, k + 4, (uint32_t)v.data.size());
        }
        Put32(bins_, k + 0x0C, v.type);
        Put16(bins_, k + 0x10, name.compressed ? 1 : 0);
        bins_.replace(k + 0x14, name.bytes.size(), name.bytes);
        if (v.data.size() > 4) {
            uint32_t data = minor_ >= 4 && v.data.size() > kMaxCellData ? BigData(v.data) : Data(v.data);
            Put32(bins_, cell + 4 + 8, data);
        }
        return cell;
    }

    // Data in segments, as format 1.4 and later keep what one cell may not
    // hold: a "db" record, the list of segments, then the segments (each,
    // the last one too, in a cell of 16,344 bytes and 4 spare ones, as
    // Windows writes them).
    uint32_t BigData(const std::string &data)
    {
        size_t count = (data.size() + kMaxCellData - 1) / kMaxCellData;
        uint32_t db = Alloc(8);
        uint32_t list = Alloc(4 * count);
        bins_.replace(db + 4, 2, "db");
        Put16(bins_, db + 6, (uint16_t)count);
        Put32(bins_, db + 8, list);
        for (size_t i = 0; i < count; i++) {
            std::string part = data.substr(i * kMaxCellData, kMaxCellData);
            uint32_t segment = Alloc(kMaxCellData + 4); // the last one as large
            bins_.replace(segment + 4, part.size(), part);
            Put32(bins_, list + 4 + 4 * i, segment);
        }
        return db;
    }

    // Fills the key cell nk (already allocated) and lays out what it holds.
    void Fill(uint32_t nk, const RegfKey &key, const StoredName &name, uint32_t parent)
    {
        keys_++;
        size_t k = nk + 4;
        bins_.replace(k, 2, "nk");
        uint16_t flags = name.compressed ? 0x20 : 0;
        if (parent == 0)
            flags |= 0x0C; // the hive's root: entry point, never deleted
        Put16(bins_, k + 2, flags);
        Put64(bins_, k + 4, stamp_);
        Put32(bins_, k + 0x10, parent == 0 ? 0 : parent);
        Put32(bins_, k + 0x1C, kNoCell);
        Put32(bins_, k + 0x20, kNoCell);
        Put32(bins_, k + 0x28, kNoCell);
        Put32(bins_, k + 0x2C, securityCell_);
        Put32(bins_, k + 0x30, kNoCell);
        Put16(bins_, k + 0x48, (uint16_t)name.bytes.size());
        bins_.replace(k + 0x4C, name.bytes.size(), name.bytes);

        if (!key.values.empty()) {
            std::vector<uint32_t> cells;
            size_t maxName = 0, maxData = 0;
            for (const RegfValue &v : key.values) {
                size_t nameLen = 0;
                cells.push_back(ValueCell(v, &nameLen));
                maxName = std::max(maxName, nameLen);
                maxData = std::max(maxData, v.data.size());
            }
            uint32_t list = Alloc(4 * cells.size());
            for (size_t i = 0; i < cells.size(); i++)
                Put32(bins_, list + 4 + 4 * i, cells[i]);
            Put32(bins_, k + 0x24, (uint32_t)cells.size());
            Put32(bins_, k + 0x28, list);
            Put32(bins_, k + 0x3C, (uint32_t)maxName);
            Put32(bins_, k + 0x40, (uint32_t)maxData);
        }
        if (key.kids.empty())
            return;

        // Subkeys in the registry's order: by their names in upper case.
        struct Entry {
            const RegfKey *key;
            StoredName name;
            std::u16string upper;
            uint32_t cell;
        };
        std::vector<Entry> entries;
        for (const auto &kid : key.kids) {
            Entry e{kid.get(), StoreName(kid->name), UpperName(kid->name), 0};
            entries.push_back(std::move(e));
        }
        std::sort(entries.begin(), entries.end(),
                  [](const Entry &a, const Entry &b) { return a.upper < b.upper; });
        size_t maxName = 0;
        for (Entry &e : entries) {
            e.cell = Alloc(0x4C + e.name.bytes.size());
            Fill(e.cell, *e.key, e.name, nk);
            maxName = std::max(maxName, e.name.units.size() * 2);
        }
        // Hash leaves of up to one block each; more than one under an index root.
        std::vector<uint32_t> leaves;
        for (size_t first = 0; first < entries.size(); first += kMaxLeaf) {
            size_t n = std::min(kMaxLeaf, entries.size() - first);
            uint32_t leaf = Alloc(4 + 8 * n);
            bins_.replace(leaf + 4, 2, "lh");
            Put16(bins_, leaf + 6, (uint16_t)n);
            for (size_t i = 0; i < n; i++) {
                Put32(bins_, leaf + 8 + 8 * i, entries[first + i].cell);
                const StoredName &name = entries[first + i].name;
                Put32(bins_, leaf + 12 + 8 * i,
                      RegfNameHash((const unsigned char *)name.bytes.data(), name.bytes.size(), name.compressed));
            }
            leaves.push_back(leaf);
        }
        uint32_t list = leaves[0];
        if (leaves.size() > 1) {
            list = Alloc(4 + 4 * leaves.size());
            bins_.replace(list + 4, 2, "ri");
            Put16(bins_, list + 6, (uint16_t)leaves.size());
            for (size_t i = 0; i < leaves.size(); i++)
                Put32(bins_, list + 8 + 4 * i, leaves[i]);
        }
        k = nk + 4;
        Put32(bins_, k + 0x14, (uint32_t)entries.size());
        Put32(bins_, k + 0x1C, list);
        Put32(bins_, k + 0x34, (uint32_t)maxName);
    }

    uint64_t stamp_;
    std::string security_;
    std::string bins_;
    size_t next_ = 0, binEnd_ = 0;
    uint32_t rootCell_ = 0, securityCell_ = 0, keys_ = 0;
    uint32_t minor_;
    bool ok_ = true;
    std::string error_;
};

} // namespace

RegfKey &RegfSubkey(RegfKey &key, const std::string &name)
{
    std::u16string want = UpperName(name);
    for (auto &k : key.kids)
        if (k->sortKey == want)
            return *k;
    key.kids.emplace_back(new RegfKey{name, {}, {}, want});
    return *key.kids.back();
}

RegfKey &RegfPath(RegfKey &key, const std::string &path)
{
    RegfKey *k = &key;
    size_t start = 0;
    for (;;) {
        size_t at = path.find('\\', start);
        k = &RegfSubkey(*k, path.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return *k;
        start = at + 1;
    }
}

bool WriteRegfHive(int fd, uint32_t minor, const std::string &rootName, const RegfKey &root,
                   std::string *error)
{
    uint64_t now = FileTimeNow();
    unsigned char sd[128];
    size_t sdSize = BuildSecurityDescriptor(sd);
    std::string security(4 + 0x14 + sdSize, '\0');
    memcpy(&security[4], "sk", 2);
    Put32(security, 4 + 0x10, (uint32_t)sdSize);
    memcpy(&security[4 + 0x14], sd, sdSize);

    HiveLayout layout(now, security, minor);
    if (!layout.Build(root, rootName, error))
        return false;
    std::string base(kRegfBaseBlockSize, '\0');
    memcpy(&base[0], "regf", 4);
    Put32(base, 4, 1);
    Put32(base, 8, 1);
    Put64(base, 0x0C, now);
    Put32(base, 0x14, 1);
    Put32(base, 0x18, minor);
    Put32(base, 0x1C, 0); // primary file
    Put32(base, 0x20, 1); // direct memory load
    Put32(base, 0x24, layout.RootCell());
    Put32(base, 0x28, (uint32_t)layout.Bins().size());
    Put32(base, 0x2C, 1);
    Put32(base, 0x1FC, RegfChecksum(At(base, 0)));
    if (ftruncate(fd, 0) != 0 || !WriteAllAt(fd, base.data(), base.size(), 0) ||
        !WriteAllAt(fd, layout.Bins().data(), layout.Bins().size(), (off_t)kRegfBaseBlockSize)) {
        *error = "cannot write the hive";
        return false;
    }
    if (minor < 5 && ConvertHashLeavesToFastLeaves(fd) < 0) {
        *error = "cannot rewrite the subkey lists";
        return false;
    }
    return true;
}

// The hive writer: a key tree laid out cell by cell in one pass.
#include "testing/regf_writer.h"

#include "platform/emulated/codepage.h"
#include "platform/emulated/key_names.h"
#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_big_data.h"
#include "platform/offline/regf_cells.h"
#include "platform/offline/regf_format.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A name as the hive stores it: one byte a character when every character
// fits in Latin-1 (a "compressed" name), else UTF-16LE.
struct StoredName {
    std::string bytes;
    bool compressed;
    size_t units; // UTF-16 units
};

StoredName StoreName(const std::string &utf8)
{
    std::string utf16 = Utf16(utf8);
    utf16.resize(utf16.size() - 2);
    StoredName n{utf16, true, utf16.size() / 2};
    for (size_t i = 0; i < n.units; i++)
        n.compressed = n.compressed && utf16[2 * i + 1] == 0;
    if (n.compressed) {
        n.bytes.clear();
        for (size_t i = 0; i < n.units; i++)
            n.bytes.push_back(utf16[2 * i]);
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

const size_t kMaxLeaf = 507; // entries of a subkey list that fill one block

// Lays out a whole hive in one pass: cells in 4 KB bins, in the order a key
// tree is walked (a key, its values, its subkeys, then its subkey list), with
// no free space but the tail of each bin that the next cell did not fit.
class HiveLayout {
public:
    HiveLayout(uint64_t stamp, const std::string &descriptor, uint32_t minor)
        : descriptor_(descriptor), traits_(RegfTraitsOf(minor)), bins_(0, stamp), stamp_(stamp) {}

    // The bins for root; false (with a message) when a value is too large.
    bool Build(const RegfKey &root, const std::string &rootName, std::string *error)
    {
        ok_ = true;
        rootCell_ = bins_.Place(regf_nk::kName + rootName.size());
        securityCell_ = bins_.Place(regf_sk::kDescriptor + descriptor_.size());
        unsigned char *sk = bins_.Record(securityCell_);
        memcpy(sk, "sk", 2);
        Put32(sk + regf_sk::kNext, securityCell_);
        Put32(sk + regf_sk::kPrevious, securityCell_);
        Put32(sk + regf_sk::kLength, (uint32_t)descriptor_.size());
        memcpy(sk + regf_sk::kDescriptor, descriptor_.data(), descriptor_.size());
        keys_ = 0;
        Fill(rootCell_, root, StoreName(rootName), kRegfNoCell);
        Put32(bins_.Record(securityCell_) + regf_sk::kReferences, keys_);
        bins_.Close();
        if (!ok_)
            *error = error_;
        return ok_;
    }

    uint32_t RootCell() const { return rootCell_; }
    const std::string &Bins() const { return bins_.Bytes(); }

private:
    uint32_t Data(const std::string &data)
    {
        uint32_t cell = bins_.Place(data.size());
        memcpy(bins_.Record(cell), data.data(), data.size());
        return cell;
    }

    uint32_t ValueCell(const RegfValue &v, size_t *nameLen)
    {
        StoredName name = StoreName(v.name);
        *nameLen = name.units * 2;
        if (v.data.size() > 1000000) {
            error_ = "the value " + v.name + " is too large for this writer";
            ok_ = false;
            return kRegfNoCell;
        }
        uint32_t cell = bins_.Place(regf_vk::kName + name.bytes.size());
        unsigned char *vk = bins_.Record(cell);
        memcpy(vk, "vk", 2);
        Put16(vk + regf_vk::kNameLength, (uint16_t)name.bytes.size());
        if (v.data.size() <= 4) {
            // Up to four bytes are kept in the value record itself.
            Put32(vk + regf_vk::kDataLength, regf_vk::kDataInline | (uint32_t)v.data.size());
            memcpy(vk + regf_vk::kData, v.data.data(), v.data.size());
        } else {
            Put32(vk + regf_vk::kDataLength, (uint32_t)v.data.size());
        }
        Put32(vk + regf_vk::kType, v.type);
        Put16(vk + regf_vk::kFlags, name.compressed ? regf_vk::kFlagCompressed : 0);
        memcpy(vk + regf_vk::kName, name.bytes.data(), name.bytes.size());
        if (v.data.size() > 4) {
            uint32_t data = traits_.bigData && v.data.size() > kRegfBigDataSegment
                                ? RegfPutBigData(bins_, (const unsigned char *)v.data.data(), v.data.size())
                                : Data(v.data);
            Put32(bins_.Record(cell) + regf_vk::kData, data);
        }
        return cell;
    }

    // Fills the key record at nk (already placed) and lays out what it holds.
    void Fill(uint32_t nk, const RegfKey &key, const StoredName &name, uint32_t parent)
    {
        keys_++;
        unsigned char *k = bins_.Record(nk);
        memcpy(k, "nk", 2);
        uint16_t flags = name.compressed ? regf_nk::kFlagCompressed : 0;
        if (parent == kRegfNoCell)
            flags |= regf_nk::kFlagRoot;
        Put16(k + regf_nk::kFlags, flags);
        Put64(k + regf_nk::kTime, stamp_);
        Put32(k + regf_nk::kParent, parent == kRegfNoCell ? 0 : parent);
        Put32(k + regf_nk::kSubkeyList, kRegfNoCell);
        Put32(k + regf_nk::kVolatileList, kRegfNoCell);
        Put32(k + regf_nk::kValueList, kRegfNoCell);
        Put32(k + regf_nk::kSecurity, securityCell_);
        Put32(k + regf_nk::kClass, kRegfNoCell);
        Put16(k + regf_nk::kNameLength, (uint16_t)name.bytes.size());
        memcpy(k + regf_nk::kName, name.bytes.data(), name.bytes.size());

        if (!key.values.empty()) {
            std::vector<uint32_t> cells;
            size_t maxName = 0, maxData = 0;
            for (const RegfValue &v : key.values) {
                size_t nameLen = 0;
                cells.push_back(ValueCell(v, &nameLen));
                maxName = std::max(maxName, nameLen);
                maxData = std::max(maxData, v.data.size());
            }
            uint32_t list = bins_.Place(4 * cells.size());
            for (size_t i = 0; i < cells.size(); i++)
                Put32(bins_.Record(list) + 4 * i, cells[i]);
            k = bins_.Record(nk);
            Put32(k + regf_nk::kValueCount, (uint32_t)cells.size());
            Put32(k + regf_nk::kValueList, list);
            Put32(k + regf_nk::kMaxValueName, (uint32_t)maxName);
            Put32(k + regf_nk::kMaxValueData, (uint32_t)maxData);
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
            e.cell = bins_.Place(regf_nk::kName + e.name.bytes.size());
            Fill(e.cell, *e.key, e.name, nk);
            maxName = std::max(maxName, e.name.units * 2);
        }
        // Leaves of up to one block each (hash leaves where the format has
        // them, else fast leaves); more than one under an index root.
        const char *kind = traits_.hashLeaves ? "lh" : "lf";
        std::vector<uint32_t> leaves;
        for (size_t first = 0; first < entries.size(); first += kMaxLeaf) {
            size_t n = std::min(kMaxLeaf, entries.size() - first);
            uint32_t leaf = bins_.Place(regf_list::kEntries + 8 * n);
            unsigned char *l = bins_.Record(leaf);
            memcpy(l, kind, 2);
            Put16(l + regf_list::kCount, (uint16_t)n);
            for (size_t i = 0; i < n; i++) {
                const StoredName &stored = entries[first + i].name;
                Put32(l + regf_list::kEntries + 8 * i, entries[first + i].cell);
                Put32(l + regf_list::kEntries + 8 * i + 4,
                      RegfLeafKey(kind, (const unsigned char *)stored.bytes.data(), stored.bytes.size(),
                                  stored.compressed));
            }
            leaves.push_back(leaf);
        }
        uint32_t list = leaves[0];
        if (leaves.size() > 1) {
            list = bins_.Place(regf_list::kEntries + 4 * leaves.size());
            unsigned char *ri = bins_.Record(list);
            memcpy(ri, "ri", 2);
            Put16(ri + regf_list::kCount, (uint16_t)leaves.size());
            for (size_t i = 0; i < leaves.size(); i++)
                Put32(ri + regf_list::kEntries + 4 * i, leaves[i]);
        }
        k = bins_.Record(nk);
        Put32(k + regf_nk::kSubkeyCount, (uint32_t)entries.size());
        Put32(k + regf_nk::kSubkeyList, list);
        Put32(k + regf_nk::kMaxSubkeyName, (uint32_t)maxName);
    }

    std::string descriptor_;
    RegfTraits traits_;
    RegfBins bins_;
    uint64_t stamp_;
    uint32_t rootCell_ = 0, securityCell_ = 0, keys_ = 0;
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
    HiveLayout layout(now, std::string((const char *)sd, sdSize), minor);
    if (!layout.Build(root, rootName, error))
        return false;
    unsigned char base[kRegfBaseBlockSize] = {};
    memcpy(base + regf_base::kSignature, "regf", 4);
    Put32(base + regf_base::kSequence1, 1);
    Put32(base + regf_base::kSequence2, 1);
    Put64(base + regf_base::kTime, now);
    Put32(base + regf_base::kMajor, 1);
    Put32(base + regf_base::kMinor, minor);
    Put32(base + regf_base::kType, 0);   // primary file
    Put32(base + regf_base::kFormat, 1); // direct memory load
    Put32(base + regf_base::kRootCell, layout.RootCell());
    Put32(base + regf_base::kBinsSize, (uint32_t)layout.Bins().size());
    Put32(base + regf_base::kCluster, 1);
    Put32(base + regf_base::kChecksum, RegfChecksum(base));
    if (ftruncate(fd, 0) != 0 || !WriteAllAt(fd, base, sizeof base, 0) ||
        !WriteAllAt(fd, layout.Bins().data(), layout.Bins().size(), (off_t)kRegfBinsStart)) {
        *error = "cannot write the hive";
        return false;
    }
    return true;
}

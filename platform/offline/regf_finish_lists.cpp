// The last pass's steps over subkey lists: hash leaves made fast leaves for
// a format without them, and the lists of the grown keys put in order.
#include "platform/offline/regf_finish_pass.h"

#include "platform/emulated/codepage.h"
#include "platform/emulated/key_names.h"
#include "platform/offline/regf_bytes.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace regf_finish_pass {

namespace {

// The offsets a subkey list or index record holds: count entries of size
// bytes, the cell first in each.
std::vector<uint64_t> Offsets(const unsigned char *record, uint32_t count, size_t size)
{
    std::vector<uint64_t> out;
    for (uint32_t i = 0; i < count; i++)
        out.push_back(RegfFileOffset(Get32(record + regf_list::kEntries + size * i)));
    return out;
}

// The leaves of the subkey list at list: itself, or those of an index.
bool Leaves(Pass &pass, uint64_t list, std::vector<uint64_t> *leaves)
{
    uint64_t size = 0;
    const unsigned char *ri = pass.cells.Read(list, 4, "ri", &size);
    if (ri == NULL) {
        leaves->assign(1, list);
        return pass.cells.Status() == kRegfWrongKind || pass.Stop();
    }
    uint32_t n = Get16(ri + regf_list::kCount);
    if (size < 4 + 4 * (uint64_t)n)
        return pass.Stop(kRegfWrongKind);
    *leaves = Offsets(ri, n, 4);
    return true;
}

// A leaf of a subkey list, read once: its kind ("li", "lf" or "lh"), how
// many entries it has and how large each is, and its record (valid until
// the next read), which holds them all when whole.
struct Leaf {
    const char *kind;
    uint32_t count;
    size_t entrySize;
    const unsigned char *record;
    bool whole;
};

// False, the pass stopped, when there is no leaf at at. With change, the
// leaf is read to be changed (RegfCells::Change).
bool ReadLeaf(Pass &pass, uint64_t at, Leaf *leaf, bool change = false)
{
    uint64_t size = 0;
    const unsigned char *l = pass.cells.Read(at, 4, NULL, &size);
    if (l != NULL && change)
        l = pass.cells.Change(at, 4);
    if (l == NULL)
        return pass.Stop();
    leaf->kind = NULL;
    for (const char *sig : {"li", "lf", "lh"})
        if (memcmp(l, sig, 2) == 0)
            leaf->kind = sig;
    if (leaf->kind == NULL)
        return pass.Stop(kRegfWrongKind);
    leaf->count = Get16(l + regf_list::kCount);
    leaf->entrySize = leaf->kind[1] == 'i' ? 4 : 8;
    leaf->record = l;
    leaf->whole = size >= 4 + leaf->entrySize * leaf->count;
    return true;
}

// A key's name as its record stores it, read at child (or, when it is
// known, made UTF-16LE); false, the pass stopped, when the record is not a
// key's or is too short for its name.
bool ChildName(Pass &pass, uint64_t child, std::string *name, bool *compressed)
{
    const auto &names = pass.what.names;
    auto known = std::lower_bound(names.begin(), names.end(), (uint32_t)child,
                                  [](const std::pair<uint32_t, const std::string *> &n, uint32_t at) {
                                      return n.first < at;
                                  });
    if (known != names.end() && known->first == child) {
        const std::string &utf8 = *known->second;
        name->resize(2 * utf8.size());
        name->resize(Utf8ToUtf16le(utf8.data(), utf8.size(), (unsigned char *)&(*name)[0], name->size()));
        *compressed = false;
        return true;
    }
    uint64_t size = 0;
    const unsigned char *nk = pass.cells.Read(child, regf_nk::kName, "nk", &size);
    if (nk == NULL)
        return pass.Stop();
    uint32_t length = Get16(nk + regf_nk::kNameLength);
    if (size < regf_nk::kName + (uint64_t)length)
        return pass.Stop(kRegfWrongKind);
    name->assign((const char *)nk + regf_nk::kName, length);
    *compressed = (Get16(nk + regf_nk::kFlags) & regf_nk::kFlagCompressed) != 0;
    return true;
}

} // namespace

bool MakeFastLeaves(Pass &pass)
{
    std::vector<uint64_t> pending = {RegfFileOffset(pass.cells.Header().rootCell)};
    uint64_t visits = 0;
    const uint64_t maxVisits = pass.cells.BinsEnd() / 8;
    // Each key is walked once: one listed twice (or below itself) is not a
    // hive the load took, and ends the pass.
    std::vector<bool> seen((size_t)maxVisits + 1);
    while (!pending.empty()) {
        uint64_t node = pending.back();
        pending.pop_back();
        if (node >= pass.cells.BinsEnd() || seen[(size_t)(node / 8)])
            return pass.Stop(kRegfWrongKind);
        seen[(size_t)(node / 8)] = true;
        const unsigned char *nk = pass.cells.Read(node, regf_nk::kName, "nk");
        if (nk == NULL)
            return pass.Stop();
        if (++visits > maxVisits)
            return pass.Stop(kRegfWrongKind);
        if (Get32(nk + regf_nk::kSubkeyCount) == 0)
            continue;
        std::vector<uint64_t> leaves;
        if (!Leaves(pass, RegfFileOffset(Get32(nk + regf_nk::kSubkeyList)), &leaves))
            return false;
        for (uint64_t leaf : leaves) {
            Leaf l;
            if (!ReadLeaf(pass, leaf, &l))
                return false;
            if (!l.whole)
                return pass.Stop(kRegfWrongKind);
            uint32_t n = l.count;
            std::vector<uint64_t> kids = Offsets(l.record, n, l.entrySize);
            pending.insert(pending.end(), kids.begin(), kids.end());
            if (l.kind[1] != 'h')
                continue;
            // The leaf just read, taken to be changed as it was read.
            unsigned char *changed = pass.cells.Change(leaf, 4 + 8 * (uint64_t)n, "lh");
            if (changed == NULL)
                return pass.Stop();
            for (uint32_t i = 0; i < n; i++) {
                std::string name;
                bool compressed = false;
                if (!ChildName(pass, kids[i], &name, &compressed))
                    return false;
                Put32(changed + regf_list::kEntries + 8 * i + 4,
                      RegfNameHint((const unsigned char *)name.data(), name.size(), compressed));
            }
            memcpy(changed, "lf", 2);
        }
    }
    return true;
}

// The subkey list of the key at node in the registry's order (by the
// names' upper-case forms), over all the leaves of an index: each entry
// moves whole, and every leaf keeps its size. The hash or hint of every entry
// of a hash or fast leaf is made anew, as the kernel computes it (hivex's own
// are wrong for names beyond ASCII). Lists whose leaves are not all of one
// kind, which Windows never writes, stay as they are. False, the pass
// stopped, when the list is malformed. Each leaf is read once, to be changed:
// hivex has just written the list, so writing it back as it is costs little.
bool SortSubkeys(Pass &pass, uint32_t node)
{
    const unsigned char *nk = pass.Key(node);
    if (nk == NULL)
        return false;
    if (Get32(nk + regf_nk::kSubkeyCount) == 0)
        return true;
    std::vector<uint64_t> leaves;
    if (!Leaves(pass, RegfFileOffset(Get32(nk + regf_nk::kSubkeyList)), &leaves))
        return false;
    // The entries, each with its sort key: the upper-case units of its name,
    // kept together in keys. Each leaf is read once, its entries copied
    // when it holds them all.
    struct Entry {
        uint32_t from, count; // keys[from] to keys[from + count - 1]
        unsigned char bytes[8];
    };
    std::vector<Entry> entries;
    std::vector<uint32_t> counts;
    std::vector<bool> whole;
    std::vector<unsigned char *> records;
    const char *kind = NULL;
    for (uint64_t leaf : leaves) {
        Leaf l;
        if (!ReadLeaf(pass, leaf, &l, true))
            return false;
        if (kind != NULL && memcmp(kind, l.kind, 2) != 0)
            return true;
        kind = l.kind;
        records.push_back((unsigned char *)l.record);
        counts.push_back(l.count);
        whole.push_back(l.whole);
        size_t first = entries.size();
        entries.resize(first + (l.whole ? l.count : 0));
        for (uint32_t i = 0; l.whole && i < l.count; i++)
            memcpy(entries[first + i].bytes, l.record + regf_list::kEntries + l.entrySize * i, l.entrySize);
    }
    std::vector<uint16_t> keys, units;
    std::string name;
    size_t size = kind[1] == 'i' ? 4 : 8;
    bool renamed = false; // a hash or hint made anew differs
    for (size_t k = 0, first = 0; k < leaves.size(); first += counts[k], k++) {
        if (!whole[k])
            return pass.Stop(kRegfWrongKind);
        uint32_t n = counts[k];
        for (uint32_t i = 0; i < n; i++) {
            Entry &e = entries[first + i];
            bool compressed = false;
            if (!ChildName(pass, RegfFileOffset(Get32(e.bytes)), &name, &compressed))
                return false;
            const unsigned char *stored = (const unsigned char *)name.data();
            units.clear();
            for (size_t j = 0; compressed ? j < name.size() : j + 1 < name.size(); j += compressed ? 1 : 2)
                units.push_back(compressed ? stored[j] : Get16(stored + j));
            std::u16string key = KeyNameSortKeyUtf16(units.data(), units.size());
            e.from = (uint32_t)keys.size();
            e.count = (uint32_t)key.size();
            keys.insert(keys.end(), key.begin(), key.end());
            if (size == 8) {
                uint32_t made = RegfLeafKey(kind, stored, name.size(), compressed);
                if (Get32(e.bytes + 4) != made) {
                    Put32(e.bytes + 4, made);
                    renamed = true;
                }
            }
        }
    }
    auto order = [&keys](const Entry &a, const Entry &b) {
        return std::lexicographical_compare(keys.begin() + a.from, keys.begin() + a.from + a.count,
                                            keys.begin() + b.from, keys.begin() + b.from + b.count);
    };
    if (std::is_sorted(entries.begin(), entries.end(), order)) {
        if (!renamed)
            return true;
    } else {
        std::stable_sort(entries.begin(), entries.end(), order);
    }
    size_t next = 0;
    for (size_t k = 0; k < leaves.size(); k++)
        for (uint32_t i = 0; i < counts[k]; i++)
            memcpy(records[k] + regf_list::kEntries + size * i, entries[next++].bytes, size);
    return true;
}

} // namespace regf_finish_pass

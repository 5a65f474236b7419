// The offline registry store: key lookup, value conversion and the
// registry store methods over hivex.
#include "platform/offline/hivex_store.h"

#include "platform/emulated/codepage.h"
#include "platform/emulated/key_names.h"
#include "platform/emulated/registry_front.h"
#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_finish.h"

#include <errno.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const int kHiveCount = 2;
const char *const kHiveNames[kHiveCount] = {"SYSTEM", "SOFTWARE"};

// The largest hive files read. A SYSTEM hive is loaded whole by the boot
// loader and stays far below this; a SOFTWARE hive grows larger, but not to
// this. A bigger file is refused before anything of it is read: hivex would
// take all of it into memory.
const off_t kMaxHiveBytes[kHiveCount] = {(off_t)256 << 20, (off_t)1 << 30};

const size_t kMaxKeyName = 255;
// hivex writes a value's data in one cell and refuses a cell of more than a
// million bytes, its 4-byte size field included.
const uint64_t kMaxDataCell = 1000000;
// What Windows answers when the hive has no room for a value's cell.
const LONG kNoRoomForValue = ERROR_NO_SYSTEM_RESOURCES;

struct Child {
    hive_node_h node;
    std::string name; // UTF-8, as hivex gives it
};

struct Hive {
    bool loaded = false;
    HiveFile file;
    bool dirty = false;      // it differs from its file: a key was added, or a value
                             // holds other data than the file has
    bool keyAdded = false;
    // The values changed since the file was read or written, each with what
    // the file holds (absent: no such value); a value set back to that is no
    // change.
    std::map<std::pair<hive_node_h, std::string>, std::pair<bool, std::vector<unsigned char>>> values;
    bool changed = false;    // it differed from its file when a save was due
    // What the run did, for its report: each value it set, with what the
    // hive held before the run's first change of it, and each key it added.
    std::map<std::pair<hive_node_h, std::string>, std::pair<bool, std::vector<unsigned char>>> before;
    std::vector<hive_node_h> added;
    bool saveFailed = false; // a save of its changes failed
    bool damaged = false; // hivex failed on its content: never written
    int openKeys = 0;
    hive_node_h currentControlSet = 0;
    // The children of the nodes looked at, in key-name order.
    std::unordered_map<hive_node_h, std::vector<Child>> children;
};

Hive g_hives[kHiveCount];
bool g_inMemory = false, g_backup = false; // for the hives loaded next
RegistryStore g_store;

// A store key: the hive's number plus one above bit 40, its node below;
// kStoreTop is HKEY_LOCAL_MACHINE.
const int kHiveShift = 40;

StoreKey KeyOf(int hive, hive_node_h node) { return ((StoreKey)(hive + 1) << kHiveShift) | node; }
int HiveOf(StoreKey key) { return (int)(key >> kHiveShift) - 1; }
hive_node_h NodeOf(StoreKey key) { return (hive_node_h)(key & (((StoreKey)1 << kHiveShift) - 1)); }

void SetMessage(char *message, size_t size, const char *format, const char *a)
{
    if (message != NULL && size > 0)
        snprintf(message, size, format, a);
}

bool SameName(const char *a, const char *b) { return lstrcmpiA(a, b) == 0; }

// A failure reported by hivex while reading: unless it is only a shortage of
// memory, the content is damaged and the hive must not be written back.
LONG HivexFailure(Hive &hive)
{
    if (errno == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    hive.damaged = true;
    return ERROR_BADDB;
}

bool KeyOrder(const Child &a, const Child &b)
{
    return CompareKeyNamesUtf8(a.name.data(), a.name.size(), b.name.data(), b.name.size()) < 0;
}

// The children of a node, read once and kept.
const std::vector<Child> *ChildrenOf(Hive &hive, hive_node_h node, LONG *status)
{
    try {
        auto it = hive.children.find(node);
        if (it != hive.children.end())
            return &it->second;
        errno = 0;
        hive_node_h *kids = hivex_node_children(hive.file.h, node);
        if (kids == NULL) {
            *status = HivexFailure(hive);
            return NULL;
        }
        std::vector<Child> list;
        for (size_t i = 0; kids[i] != 0; i++) {
            errno = 0;
            char *name = hivex_node_name(hive.file.h, kids[i]);
            if (name == NULL) {
                free(kids);
                *status = HivexFailure(hive);
                return NULL;
            }
            std::string utf8;
            try {
                utf8.assign(name);
            } catch (const std::bad_alloc &) {
                free(name);
                free(kids);
                throw;
            }
            free(name);
            list.push_back(Child{kids[i], std::move(utf8)});
        }
        free(kids);
        // In the registry's order, whatever order the hive keeps them in
        // (hivex adds a key where a lower-case comparison puts it).
        if (!std::is_sorted(list.begin(), list.end(), KeyOrder))
            std::stable_sort(list.begin(), list.end(), KeyOrder);
        auto done = hive.children.emplace(node, std::move(list));
        return &done.first->second;
    } catch (const std::bad_alloc &) {
        *status = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
}

// Finds the child of a node named name (ANSI) without regard to case.
// 0 with *status ERROR_FILE_NOT_FOUND when there is none.
hive_node_h FindChild(Hive &hive, hive_node_h node, const char *name, LONG *status)
{
    const std::vector<Child> *kids = ChildrenOf(hive, node, status);
    if (kids == NULL)
        return 0;
    for (const Child &c : *kids)
        if (NameEqualsUtf8(name, c.name.data(), c.name.size()))
            return c.node;
    *status = ERROR_FILE_NOT_FOUND;
    return 0;
}

// Finds a value by name (ANSI, "" or NULL for the default value)
// without regard to case; its stored name, as hivex spells it, into key.
hive_value_h FindValue(Hive &hive, hive_node_h node, const char *name, std::string *key,
                       LONG *status)
{
    const char *want = name ? name : "";
    errno = 0;
    hive_value_h *values = hivex_node_values(hive.file.h, node);
    if (values == NULL) {
        *status = HivexFailure(hive);
        return 0;
    }
    hive_value_h found = 0;
    for (size_t i = 0; values[i] != 0 && found == 0; i++) {
        errno = 0;
        char *k = hivex_value_key(hive.file.h, values[i]);
        if (k == NULL) {
            *status = HivexFailure(hive);
            free(values);
            return 0;
        }
        if (NameEqualsUtf8(want, k, strlen(k))) {
            found = values[i];
            if (key) {
                try {
                    key->assign(k);
                } catch (const std::bad_alloc &) {
                    free(k);
                    free(values);
                    *status = ERROR_NOT_ENOUGH_MEMORY;
                    return 0;
                }
            }
        }
        free(k);
    }
    free(values);
    if (found == 0)
        *status = ERROR_FILE_NOT_FOUND;
    return found;
}

// A value's data and type. hivex hands over the type as the hive stores it,
// any 32-bit number, in its enum type: it is taken as a number, never read
// as the enum, whose values it may lie outside.
static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type holds a 32-bit type");
char *ValueData(Hive &hive, hive_value_h v, DWORD *type, size_t *len)
{
    hive_type t;
    memset(&t, 0, sizeof t);
    errno = 0;
    char *data = hivex_value_value(hive.file.h, v, &t, len);
    uint32_t n;
    memcpy(&n, &t, sizeof n);
    *type = (DWORD)n;
    return data;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool Listed(const std::vector<uint32_t> &list, hive_node_h node)
{
    return std::find(list.begin(), list.end(), (uint32_t)node) != list.end();
}

// hivex sets a value by dropping every value of the key and writing them all
// again: whether each one but the value replaced can be written back, so that
// hivex never stops halfway through the key (ERROR_SUCCESS, or the status
// the set answers). The first time, the segments of its big values, which
// hivex leaves allocated, are added to orphans.
LONG CheckRewritable(Hive &hive, hive_node_h node, hive_value_h replaced,
                     std::vector<uint32_t> *orphans)
{
    bool first = !Listed(hive.file.finish.rewritten, node);
    errno = 0;
    hive_value_h *values = hivex_node_values(hive.file.h, node);
    if (values == NULL)
        return HivexFailure(hive);
    LONG status = ERROR_SUCCESS;
    for (size_t i = 0; values[i] != 0 && status == ERROR_SUCCESS; i++) {
        hive_type t;
        size_t len = 0;
        errno = 0;
        if (hivex_value_type(hive.file.h, values[i], &t, &len) != 0)
            status = HivexFailure(hive);
        else if (values[i] != replaced && len > 4 && (uint64_t)len + 4 > kMaxDataCell)
            status = kNoRoomForValue;
        else if (first && hive.file.minor >= 4 && len > kRegfBigDataSegment)
            // A record that cannot be read leaves its cells allocated: space
            // lost, nothing else.
            CollectBigDataCells(hive.file.lockfd,
                                (uint32_t)hivex_value_data_cell_offset(hive.file.h, values[i], NULL),
                                orphans);
    }
    free(values);
    return status;
}

// The control set that Select\<which> names: its number, or 0 when the value
// is missing, is not a number of a set, or names a set the hive lacks.
unsigned SelectedSet(Hive &hive, hive_node_h root, hive_node_h select, const char *which,
                     hive_node_h *set)
{
    LONG status;
    hive_value_h v = FindValue(hive, select, which, NULL, &status);
    if (v == 0)
        return 0;
    DWORD t;
    size_t len;
    char *data = ValueData(hive, v, &t, &len);
    if (data == NULL)
        return 0;
    uint32_t n = 0;
    bool ok = t == REG_DWORD && len == 4;
    if (ok)
        n = (uint32_t)(unsigned char)data[0] | ((uint32_t)(unsigned char)data[1] << 8) |
            ((uint32_t)(unsigned char)data[2] << 16) | ((uint32_t)(unsigned char)data[3] << 24);
    free(data);
    if (!ok || n == 0 || n > 999)
        return 0;
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", (unsigned)n);
    *set = FindChild(hive, root, name, &status);
    return *set != 0 ? n : 0;
}

// The control set the repair goes to: the one Select\Default names, which
// the boot loader starts next, else the one Select\Current names (the set of
// the last boot). When they differ, note says which is repaired and why.
bool FindControlSet(Hive &hive, char *note, size_t size)
{
    LONG status;
    hive_node_h root = hivex_root(hive.file.h);
    hive_node_h select = FindChild(hive, root, "Select", &status);
    if (select == 0)
        return false;
    hive_node_h byDefault = 0, byCurrent = 0;
    unsigned def = SelectedSet(hive, root, select, "Default", &byDefault);
    unsigned cur = SelectedSet(hive, root, select, "Current", &byCurrent);
    char text[400] = "";
    if (def != 0 && cur != 0 && def != cur)
        snprintf(text, sizeof text,
                 "the SYSTEM hive's Select\\Default names ControlSet%03u and its Select\\Current "
                 "ControlSet%03u; ControlSet%03u is repaired, as Windows starts the set that "
                 "Default names at its next boot (Current is only the set it last started)",
                 def, cur, def);
    else if (def == 0 && cur != 0 && FindValue(hive, select, "Default", NULL, &status) != 0)
        snprintf(text, sizeof text,
                 "the SYSTEM hive's Select\\Default names no control set the hive holds; "
                 "ControlSet%03u, which Select\\Current names, is repaired",
                 cur);
    if (note != NULL && size > 0)
        snprintf(note, size, "%s", text);
    hive.currentControlSet = def != 0 ? byDefault : byCurrent;
    return hive.currentControlSet != 0;
}

// Writes a changed hive, unless it is damaged.
bool CommitHive(Hive &hive, char *message, size_t size)
{
    if (hive.damaged) {
        SetMessage(message, size,
                   "the hive %s is damaged: part of it could not be read or changed, so it "
                   "was left as it was", hive.file.shown);
        return false;
    }
    hive.changed = true;
    if (!HiveFileCommit(&hive.file, message, size)) {
        hive.saveFailed = true;
        return false;
    }
    hive.saveFailed = false;
    // Changes kept in memory stay unsaved: they tell what a save would write.
    if (!hive.file.inMemory) {
        hive.dirty = hive.keyAdded = false;
        hive.values.clear();
    }
    return true;
}

void ReleaseHive(Hive &hive)
{
    HiveFileRelease(&hive.file);
    hive.~Hive();
    new (&hive) Hive();
}

// A value's type and data as one string of bytes, to compare.
std::vector<unsigned char> TypedBytes(DWORD type, const std::vector<unsigned char> &data)
{
    std::vector<unsigned char> bytes(4 + data.size());
    memcpy(bytes.data(), &type, 4);
    if (!data.empty())
        memcpy(bytes.data() + 4, data.data(), data.size());
    return bytes;
}

std::vector<unsigned char> TypedData(Hive &hive, hive_value_h value)
{
    DWORD type = 0;
    size_t len = 0;
    char *raw = ValueData(hive, value, &type, &len);
    std::vector<unsigned char> data(raw, raw + (raw ? len : 0));
    free(raw);
    return TypedBytes(type, data);
}

// ------------------------------------------------------ the store methods

LONG StoreFindChild(RegistryStore *, StoreKey key, const char *name, StoreKey *child)
{
    if (key == kStoreTop) {
        for (int i = 0; i < kHiveCount; i++)
            if (g_hives[i].loaded && SameName(name, kHiveNames[i])) {
                *child = KeyOf(i, hivex_root(g_hives[i].file.h));
                return ERROR_SUCCESS;
            }
        return ERROR_FILE_NOT_FOUND;
    }
    int which = HiveOf(key);
    Hive &hive = g_hives[which];
    hive_node_h node = NodeOf(key);
    if (which == kOfflineSystem && node == hivex_root(hive.file.h) &&
        SameName(name, "CurrentControlSet")) {
        *child = KeyOf(which, hive.currentControlSet);
        return ERROR_SUCCESS;
    }
    LONG status = ERROR_SUCCESS;
    hive_node_h found = FindChild(hive, node, name, &status);
    if (found == 0)
        return status;
    *child = KeyOf(which, found);
    return ERROR_SUCCESS;
}

LONG StoreAddChild(RegistryStore *, StoreKey key, const char *name, StoreKey *child)
{
    if (key == kStoreTop)
        return ERROR_ACCESS_DENIED;
    Hive &hive = g_hives[HiveOf(key)];
    char utf8[kMaxKeyName * 3 + 1];
    if (!AnsiToUtf8(name, utf8, sizeof utf8))
        return ERROR_INVALID_PARAMETER;
    RegfFinish &finish = hive.file.finish;
    try {
        finish.stamped.reserve(finish.stamped.size() + 2);
        finish.grown.reserve(finish.grown.size() + 1);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    errno = 0;
    hive_node_h added = hivex_node_add_child(hive.file.h, NodeOf(key), utf8);
    if (added == 0) {
        // hivex may have changed part of the hive before it failed: what is in
        // memory can no longer be trusted to be whole, so it is never written.
        hive.damaged = true;
        return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
    }
    hive.dirty = hive.keyAdded = true;
    try {
        hive.added.push_back(added);
    } catch (const std::bad_alloc &) {
    }
    // Windows stamps a new key, and its parent, whose list of subkeys
    // changed; the list is put back in the registry's order when written.
    finish.stamped.push_back((uint32_t)added);
    finish.stamped.push_back((uint32_t)NodeOf(key));
    finish.grown.push_back((uint32_t)NodeOf(key));
    // The new key joins the children already read, in its place; the keys
    // hivex has stay where they are in the file.
    auto kids = hive.children.find(NodeOf(key));
    if (kids != hive.children.end()) {
        try {
            Child c{added, utf8};
            auto at = std::upper_bound(kids->second.begin(), kids->second.end(), c, KeyOrder);
            kids->second.insert(at, std::move(c));
        } catch (const std::bad_alloc &) {
            hive.children.erase(kids);
        }
    }
    *child = KeyOf(HiveOf(key), added);
    return ERROR_SUCCESS;
}

LONG StoreChildName(RegistryStore *, StoreKey key, DWORD index, char *name, size_t capacity,
                    size_t *length, uint64_t *lastWrite)
{
    const char *utf8 = NULL;
    size_t utf8Size = 0;
    *lastWrite = 0;
    if (key == kStoreTop) {
        // The loaded hives, in the registry's order.
        DWORD n = 0;
        for (int i : {kOfflineSoftware, kOfflineSystem}) {
            if (!g_hives[i].loaded)
                continue;
            if (n++ == index) {
                utf8 = kHiveNames[i];
                utf8Size = strlen(utf8);
            }
        }
        if (utf8 == NULL)
            return ERROR_NO_MORE_ITEMS;
    } else {
        Hive &hive = g_hives[HiveOf(key)];
        LONG status = ERROR_SUCCESS;
        const std::vector<Child> *kids = ChildrenOf(hive, NodeOf(key), &status);
        if (kids == NULL)
            return status;
        if (index >= kids->size())
            return ERROR_NO_MORE_ITEMS;
        const Child &c = (*kids)[index];
        utf8 = c.name.data();
        utf8Size = c.name.size();
        // A key the run wrote has the run's time, which it gets on disk when
        // the hive is written.
        int64_t stamp = hivex_node_timestamp(hive.file.h, c.node);
        *lastWrite = Listed(hive.file.finish.stamped, c.node) ? hive.file.finish.time
                     : stamp > 0                              ? (uint64_t)stamp
                                                              : 0;
    }
    *length = Utf8ToAnsi(utf8, utf8Size, name, capacity);
    return ERROR_SUCCESS;
}

LONG StoreGetValue(RegistryStore *, StoreKey key, const char *name, DWORD *type, BYTE *data,
                   size_t capacity, uint64_t *size)
{
    if (key == kStoreTop)
        return ERROR_FILE_NOT_FOUND;
    Hive &hive = g_hives[HiveOf(key)];
    LONG status = ERROR_SUCCESS;
    hive_value_h v = FindValue(hive, NodeOf(key), name, NULL, &status);
    if (v == 0)
        return status;
    size_t len;
    char *raw = ValueData(hive, v, type, &len);
    if (raw == NULL)
        return HivexFailure(hive);
    const unsigned char *stored = (const unsigned char *)raw;
    bool text = IsStringType(*type);
    size_t needed = text ? Utf16leToAnsi(stored, len, NULL, 0) : len;
    *size = needed;
    if (data != NULL && needed <= capacity) {
        if (text)
            Utf16leToAnsi(stored, len, data, capacity);
        else if (needed > 0)
            memcpy(data, stored, needed);
    }
    free(raw);
    return ERROR_SUCCESS;
}

LONG StoreSetValue(RegistryStore *, StoreKey key, const char *name, DWORD dwType,
                   const BYTE *lpData, DWORD cbData)
{
    Hive &hive = g_hives[HiveOf(key)];
    hive_node_h node = NodeOf(key);
    // Stored, the data takes at least as many bytes as given.
    if ((uint64_t)cbData + 4 > kMaxDataCell)
        return kNoRoomForValue;

    LONG status = ERROR_SUCCESS;
    try {
        std::string stored_name;
        hive_value_h existing = FindValue(hive, node, name, &stored_name, &status);
        if (existing == 0 && status != ERROR_FILE_NOT_FOUND)
            return status;
        if (existing == 0) {
            std::vector<char> utf8(strlen(name) * 3 + 1);
            if (!AnsiToUtf8(name, utf8.data(), utf8.size()))
                return ERROR_INVALID_PARAMETER;
            stored_name.assign(utf8.data());
        }
        std::vector<unsigned char> stored;
        if (IsStringType(dwType)) {
            stored.resize((size_t)cbData * 2);
            stored.resize(AnsiToUtf16le(lpData, cbData, stored.data(), stored.size()));
        } else if (cbData > 0) {
            stored.assign(lpData, lpData + cbData);
        }
        hive_set_value value;
        value.key = &stored_name[0];
        value.t = (hive_type)dwType;
        value.len = stored.size();
        value.value = stored.empty() ? (char *)"" : (char *)stored.data();
        if (stored.size() + 4 > kMaxDataCell)
            return kNoRoomForValue;
        // A value that already holds these bytes is left alone, and one set
        // back to what the file holds is no change: a run that finds
        // everything in order changes nothing, and the hive file is not
        // rewritten.
        if (existing != 0 && TypedData(hive, existing) == TypedBytes(dwType, stored))
            return ERROR_SUCCESS;
        auto was = std::make_pair(node, stored_name);
        if (!hive.values.count(was))
            hive.values[was] = existing == 0 ? std::make_pair(false, std::vector<unsigned char>())
                                             : std::make_pair(true, TypedData(hive, existing));
        if (!hive.before.count(was))
            hive.before[was] = hive.values[was];
        std::vector<uint32_t> orphans;
        status = CheckRewritable(hive, node, existing, &orphans);
        if (status != ERROR_SUCCESS)
            return status;
        RegfFinish &finish = hive.file.finish;
        finish.stamped.reserve(finish.stamped.size() + 1);
        finish.rewritten.reserve(finish.rewritten.size() + 1);
        finish.orphaned.reserve(finish.orphaned.size() + orphans.size());
        errno = 0;
        if (hivex_node_set_value(hive.file.h, node, &value, 0) != 0) {
            // As for a key that could not be added: never written after this.
            hive.damaged = true;
            return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
        }
        const auto &file = hive.values[was];
        if (file.first && file.second == TypedBytes(dwType, stored))
            hive.values.erase(was);
        hive.dirty = hive.keyAdded || !hive.values.empty();
        finish.stamped.push_back((uint32_t)node);
        finish.rewritten.push_back((uint32_t)node);
        finish.orphaned.insert(finish.orphaned.end(), orphans.begin(), orphans.end());
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG StoreWritable(RegistryStore *, StoreKey key)
{
    if (key == kStoreTop)
        return ERROR_ACCESS_DENIED;
    const Hive &hive = g_hives[HiveOf(key)];
    if (!hive.file.writable)
        return ERROR_ACCESS_DENIED;
    return hive.damaged ? ERROR_REGISTRY_CORRUPT : ERROR_SUCCESS;
}

void StoreHold(RegistryStore *, StoreKey key)
{
    if (key != kStoreTop)
        g_hives[HiveOf(key)].openKeys++;
}

LONG StoreRelease(RegistryStore *, StoreKey key)
{
    if (key == kStoreTop)
        return ERROR_SUCCESS;
    Hive &hive = g_hives[HiveOf(key)];
    hive.openKeys--;
    // The last key into a changed hive: this is the point where a run's
    // changes are complete, so they go to disk now, once; a save that fails
    // is tried once more at once, so that a passing failure is over before
    // the run goes on. A failure is answered here and told again, with its
    // reason, when the installation is closed, which tries again.
    if (hive.openKeys == 0 && hive.dirty && !CommitHive(hive, NULL, 0) && !CommitHive(hive, NULL, 0))
        return ERROR_CANTWRITE;
    return ERROR_SUCCESS;
}

const RegistryStoreMethods kMethods = {StoreFindChild, StoreAddChild, StoreChildName,
                                       StoreGetValue,  StoreSetValue, StoreWritable,
                                       StoreHold,      StoreRelease};

} // namespace

OfflineLoadResult OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  char *message, size_t size)
{
    Hive &hive = g_hives[which];
    ReleaseHive(hive);
    hive.file.inMemory = g_inMemory;
    hive.file.backup = g_backup;
    SetMessage(message, size, "%s", "");
    g_store.methods = &kMethods;
    RegistryFrontMount(&g_store);
    OfflineLoadResult r = HiveFileLoad(&hive.file, kHiveNames[which], windowsPath, shownPath,
                                       kMaxHiveBytes[which], message, size);
    if (r != kLoadOk)
        return r;
    hive.loaded = true;
    // The one time of the run: every key it writes gets it.
    hive.file.finish.time = FileTimeNow();
    if (which == kOfflineSystem && !FindControlSet(hive, message, size)) {
        SetMessage(message, size,
                   "%s names no control set that it holds: neither its Select\\Default nor its "
                   "Select\\Current value is the number of an existing ControlSet key",
                   shownPath);
        ReleaseHive(hive);
        return kLoadNoControlSet;
    }
    return kLoadOk;
}

bool OfflineCommitAll(char *message, size_t size)
{
    bool ok = true;
    if (message && size)
        message[0] = '\0';
    for (int i = 0; i < kHiveCount; i++) {
        Hive &hive = g_hives[i];
        if (!hive.loaded || (!hive.dirty && !hive.damaged))
            continue;
        // A damaged hive is reported even when nothing was to be written to
        // it: it explains the failures the run has logged.
        if (!CommitHive(hive, message, size))
            ok = false;
    }
    // A save that succeeded with something to tell, told when nothing failed.
    for (int i = 0; i < kHiveCount && ok; i++)
        if (g_hives[i].loaded && g_hives[i].file.note[0] != '\0')
            SetMessage(message, size, "%s", g_hives[i].file.note);
    return ok;
}

bool OfflineHiveUnsaved(OfflineHive which) { return g_hives[which].loaded && g_hives[which].dirty; }

void OfflineStoreOptions(bool inMemory, bool backup)
{
    g_inMemory = inMemory;
    g_backup = backup;
}

void OfflineHiveOutcome(OfflineHive which, OfflineHiveResult *result)
{
    const Hive &hive = g_hives[which];
    *result = OfflineHiveResult();
    if (!hive.loaded)
        return;
    result->saveFailed = hive.saveFailed;
    result->saved = hive.changed && !hive.dirty && !hive.saveFailed && !hive.file.inMemory;
    // Changes not yet due to be saved count as changes too.
    result->changed = hive.changed || hive.dirty;
    snprintf(result->kept, sizeof result->kept, "%s", hive.file.kept);
    result->controlSet = 0;
    if (which == kOfflineSystem && hive.currentControlSet != 0) {
        char *name = hivex_node_name(hive.file.h, hive.currentControlSet);
        if (name != NULL && strncasecmp(name, "ControlSet", 10) == 0)
            result->controlSet = (unsigned)atoi(name + 10);
        free(name);
    }
}

namespace {

// A key's path below its hive's root, in ANSI, "\" between the names.
std::string KeyPath(Hive &hive, hive_node_h node)
{
    std::string path;
    for (hive_node_h n = node; n != 0 && n != hivex_root(hive.file.h); n = hivex_node_parent(hive.file.h, n)) {
        char *utf8 = hivex_node_name(hive.file.h, n);
        char ansi[kMaxKeyName * 2 + 1] = "";
        if (utf8 != NULL)
            Utf8ToAnsi(utf8, strlen(utf8), ansi, sizeof ansi);
        free(utf8);
        path = path.empty() ? std::string(ansi) : std::string(ansi) + "\\" + path;
    }
    return path;
}

} // namespace

std::vector<OfflineChange> OfflineChanges(OfflineHive which)
{
    std::vector<OfflineChange> changes;
    Hive &hive = g_hives[which];
    if (!hive.loaded)
        return changes;
    for (hive_node_h node : hive.added)
        changes.push_back(OfflineChange{KeyPath(hive, node), "", true, false, 0, ""});
    for (const auto &v : hive.before) {
        OfflineChange c{KeyPath(hive, v.first.first), "", false, v.second.first, 0, ""};
        char name[kMaxKeyName * 2 + 1] = "";
        Utf8ToAnsi(v.first.second.data(), v.first.second.size(), name, sizeof name);
        c.value = name;
        if (c.existed && v.second.second.size() >= 4) {
            memcpy(&c.type, v.second.second.data(), 4);
            const unsigned char *data = v.second.second.data() + 4;
            size_t len = v.second.second.size() - 4;
            if (IsStringType(c.type)) {
                c.data.resize(Utf16leToAnsi(data, len, NULL, 0));
                if (!c.data.empty())
                    Utf16leToAnsi(data, len, (unsigned char *)&c.data[0], c.data.size());
            } else {
                c.data.assign((const char *)data, len);
            }
        }
        changes.push_back(c);
    }
    return changes;
}

const char *OfflineHiveReadOnly(OfflineHive which)
{
    return g_hives[which].loaded ? g_hives[which].file.readOnly : NULL;
}

void OfflineUnloadAll(void)
{
    RegistryFrontDropHandles();
    for (int i = 0; i < kHiveCount; i++)
        ReleaseHive(g_hives[i]);
}

// The offline registry store: the registry store methods over hivex, each
// hive's load, saves and release. The lookups are hive_lookup.cpp, the
// control set choice control_set.cpp, the run's record hive_report.cpp.
#include "platform/offline/hivex_store.h"

#include "platform/offline/hive_set.h"

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

using namespace hive_set;

namespace hive_set {
const char *const kHiveNames[kHiveCount] = {"SYSTEM", "SOFTWARE"};
Hive g_hives[kHiveCount];

// A store key: the hive's number plus one above bit 40, its node below;
// kStoreTop is HKEY_LOCAL_MACHINE.
const int kHiveShift = 40;
int HiveOf(StoreKey key) { return (int)(key >> kHiveShift) - 1; }
hive_node_h NodeOf(StoreKey key) { return (hive_node_h)(key & (((StoreKey)1 << kHiveShift) - 1)); }
} // namespace hive_set

namespace {

bool g_inMemory = false, g_backup = false; // for the hives loaded next
RegistryStore g_store;

StoreKey KeyOf(int hive, hive_node_h node) { return ((StoreKey)(hive + 1) << kHiveShift) | node; }

bool SameName(const char *a, const char *b) { return lstrcmpiA(a, b) == 0; }

// Saves a changed hive, unless it is damaged: a try, and when it fails one
// more at once, so that a passing failure is over before the run goes on.
// What the last try left on disk is the hive's record, hive.save.
bool SaveHive(Hive &hive)
{
    HiveSaveReport &record = hive.save;
    if (hive.damaged) {
        record = HiveSaveReport();
        record.damaged = true;
        record.outcome = kSaveHiveAsItWas;
        record.shown = hive.file.shown;
        return false;
    }
    hive.changed = true;
    KnownNames(hive);
    bool saved = false;
    int tries = 0;
    while (!saved && tries < 2) {
        tries++;
        saved = HiveFileCommit(&hive.file, &record);
    }
    record.tries = hive.file.inMemory ? 0 : tries;
    hive.file.finish.names.clear(); // they point into the children kept
    // Changes kept in memory stay unsaved: they tell what a save would write.
    if (saved && !hive.file.inMemory) {
        hive.dirty = hive.keyAdded = false;
        hive.values.clear();
    }
    return saved;
}

void ReleaseHive(Hive &hive)
{
    HiveFileRelease(&hive.file);
    hive.~Hive();
    new (&hive) Hive();
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
    // changes are complete, so they go to disk now, once, and a failure is
    // known before the run goes on. After a failed save the hive is never
    // written again in this run: what is on disk is what the record says.
    if (hive.openKeys == 0 && hive.dirty && hive.save.outcome != kSaveHiveAsItWas && !SaveHive(hive))
        return ERROR_CANTWRITE;
    return ERROR_SUCCESS;
}

const RegistryStoreMethods kMethods = {StoreFindChild, StoreAddChild, StoreChildName,
                                       StoreGetValue,  StoreSetValue, StoreWritable,
                                       StoreHold,      StoreRelease};

} // namespace

HiveLoadProblem OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  HiveLoadReport *report)
{
    Hive &hive = g_hives[which];
    ReleaseHive(hive);
    hive.file.inMemory = g_inMemory;
    hive.file.backup = g_backup;
    hive.file.checkWhole = which == kOfflineSystem; // the hive a run writes
    g_store.methods = &kMethods;
    RegistryFrontMount(&g_store);
    HiveLoadProblem r = HiveFileLoad(&hive.file, kHiveNames[which], windowsPath, shownPath,
                                       kMaxHiveBytes[which], report);
    if (r != kHiveLoaded)
        return r;
    hive.loaded = true;
    // The one time of the run: every key it writes gets it.
    hive.file.finish.time = FileTimeNow();
    if (which == kOfflineSystem && !FindControlSet(hive, report)) {
        ReleaseHive(hive);
        report->problem = kHiveNoControlSet;
        return kHiveNoControlSet;
    }
    return kHiveLoaded;
}

bool OfflineCommitAll(HiveSaveReport *report)
{
    bool ok = true;
    *report = HiveSaveReport();
    for (int i = 0; i < kHiveCount; i++) {
        Hive &hive = g_hives[i];
        if (!hive.loaded)
            continue;
        // Changes that no last close handed to a save (a key left open) are
        // saved now, the one time, as a close would; a damaged hive is told
        // even when nothing was to be written to it: it explains the failures
        // the run has logged.
        bool due = hive.dirty && !hive.file.inMemory && hive.save.outcome == kSaveNotDue;
        if ((due || (hive.damaged && hive.save.outcome == kSaveNotDue)))
            SaveHive(hive);
        else if (hive.dirty && hive.file.inMemory)
            hive.changed = true;
        // The record of a hive whose save failed is the one told; else a
        // save that succeeded with something to tell.
        if (hive.save.outcome == kSaveHiveAsItWas) {
            ok = false;
            *report = hive.save;
        } else if (ok && hive.save.folderError != 0) {
            *report = hive.save;
        }
    }
    return ok;
}

bool OfflineHiveUnsaved(OfflineHive which) { return g_hives[which].loaded && g_hives[which].dirty; }

void OfflineStoreOptions(bool inMemory, bool backup)
{
    g_inMemory = inMemory;
    g_backup = backup;
}

HiveReadOnly OfflineHiveReadOnly(OfflineHive which)
{
    return g_hives[which].loaded ? g_hives[which].file.readOnly : kHiveWritable;
}

void OfflineUnloadAll(void)
{
    RegistryFrontDropHandles();
    for (int i = 0; i < kHiveCount; i++)
        ReleaseHive(g_hives[i]);
}

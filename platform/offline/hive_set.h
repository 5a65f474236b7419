// The hives of the offline store as the store's files share them: each
// hive's file, what the run changed in it, and the lookups over hivex that
// the store methods, the control set choice and the run's record use. Not
// for the store's users: they have hivex_store.h.
#ifndef TESSARIL_PLATFORM_OFFLINE_HIVE_SET_H
#define TESSARIL_PLATFORM_OFFLINE_HIVE_SET_H

#include "platform/base.h"
#include "platform/offline/hive_file.h"
#include "platform/emulated/registry_store.h"
#include "platform/offline/hivex_store.h"

#include <hivex.h>
#include <stdint.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace hive_set {

const int kHiveCount = 2;
extern const char *const kHiveNames[kHiveCount];

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
    // The one record of the hive's save: what it left on disk. Its changes
    // are saved once, when the last key into it closes, and never tried
    // again after that save failed.
    HiveSaveReport save;
    bool damaged = false; // hivex failed on its content: never written
    int openKeys = 0;
    hive_node_h currentControlSet = 0;
    // The children of the nodes looked at, in key-name order.
    std::unordered_map<hive_node_h, std::vector<Child>> children;
};

extern Hive g_hives[kHiveCount];

// The lookups (hive_lookup.cpp). A failure of hivex while reading marks the
// hive damaged, unless it is a shortage of memory.
LONG HivexFailure(Hive &hive);
// The order of keys in a subkey list, as Windows sorts them.
bool KeyOrder(const Child &a, const Child &b);
// The children of a node, read once and kept, in key-name order.
const std::vector<Child> *ChildrenOf(Hive &hive, hive_node_h node, LONG *status);
// Gives the last pass the names of the grown keys' children that the
// lookups have read (RegfFinish::names), so that it need not read their
// records again.
void KnownNames(Hive &hive);
// The child named name (ANSI) without regard to case; 0 with *status
// ERROR_FILE_NOT_FOUND when there is none.
hive_node_h FindChild(Hive &hive, hive_node_h node, const char *name, LONG *status);
// A value by name (ANSI, "" or NULL for the default value) without regard to
// case; its stored name, as hivex spells it, into key.
hive_value_h FindValue(Hive &hive, hive_node_h node, const char *name, std::string *key, LONG *status);
// A value's data (malloc'd) and type, the type taken as the 32-bit number
// the hive stores.
char *ValueData(Hive &hive, hive_value_h v, DWORD *type, size_t *len);
bool IsStringType(DWORD type);
bool Listed(const std::vector<uint32_t> &list, hive_node_h node);
// Whether every value of the key but the one replaced can be written back
// by hivex (ERROR_SUCCESS, or the status a set answers); the first time, the
// segments of its big values are added to orphans.
LONG CheckRewritable(Hive &hive, hive_node_h node, hive_value_h replaced, std::vector<RegfOrphan> *orphans);
// A value's type and data as one string of bytes, to compare.
std::vector<unsigned char> TypedBytes(DWORD type, const std::vector<unsigned char> &data);
std::vector<unsigned char> TypedData(Hive &hive, hive_value_h value);

// The store methods of values (hive_values.cpp), the rest's in
// hivex_store.cpp; key is a store key of a hive's node.
hive_node_h NodeOf(StoreKey key);
int HiveOf(StoreKey key);
LONG StoreGetValue(RegistryStore *, StoreKey key, const char *name, DWORD *type, BYTE *data,
                   size_t capacity, uint64_t *size);
LONG StoreSetValue(RegistryStore *, StoreKey key, const char *name, DWORD dwType,
                   const BYTE *lpData, DWORD cbData);

// The control set the repair goes to (control_set.cpp): Select\Default's,
// else Select\Current's; the sets each names, into report.
bool FindControlSet(Hive &hive, HiveLoadReport *report);

} // namespace hive_set

#endif

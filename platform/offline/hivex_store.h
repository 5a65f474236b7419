// The offline registry store: HKEY_LOCAL_MACHINE\SYSTEM and \SOFTWARE of a
// mounted installation, each one hive file (hive_file.h) read and changed
// through hivex, served by the registry front. In SYSTEM, CurrentControlSet
// is the control set that Select\Default names (Windows starts it at its
// next boot), or Select\Current's when Default names none. Names and texts
// are converted in the ANSI code page codepage.h has selected.
//
// Changes reach the disk at two points, each a whole hive in one crash-safe
// step: when the last handle into a changed hive is closed (RegCloseKey then
// answers ERROR_CANTWRITE if the write failed, and the hive keeps its
// changes), and when the installation is closed (OfflineCommitAll writes
// whatever is still unwritten and says why a hive could not be written).
#ifndef TESSARIL_PLATFORM_OFFLINE_HIVEX_STORE_H
#define TESSARIL_PLATFORM_OFFLINE_HIVEX_STORE_H

#include <stddef.h>

#include "platform/base.h"
#include "platform/offline/hive_file.h"

#include <string>
#include <vector>

enum OfflineHive { kOfflineSystem = 0, kOfflineSoftware = 1 };

// Loads one hive from the Windows path of its file, locks it for the rest of
// the run, and mounts the offline store behind the registry front. report
// tells what the load met: on failure why, on success (SYSTEM) the control
// sets its Select values name.
HiveLoadProblem OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  HiveLoadReport *report);

// Writes every hive that has changes not yet on disk. False, with report
// telling why, when one of them could not be written; its file is then as it
// was. True, with report telling what a save that succeeded has to tell (its
// folder could not be flushed), otherwise.
bool OfflineCommitAll(HiveSaveReport *report);

// True when the hive holds changes that are not on disk (after a failed
// OfflineCommitAll: changes that are lost).
bool OfflineHiveUnsaved(OfflineHive which);

// Why the loaded hive may not be written; kHiveWritable when it may.
HiveReadOnly OfflineHiveReadOnly(OfflineHive which);

// How the hives loaded from now on are saved: inMemory keeps every change in
// memory and writes nothing at all (a check of what a repair would change);
// backup keeps the old file of a hive beside the new one when it is written.
void OfflineStoreOptions(bool inMemory, bool backup);

// What became of one hive's changes.
struct OfflineHiveResult {
    bool changed = false;    // the run changed something in it
    bool saved = false;      // and its changes are on disk
    bool saveFailed = false; // a save failed: its file is as it was
    char kept[320] = "";     // the name the old file was kept under beside it, if any
    std::string shown;       // the file, as its folders spell it on disk
    unsigned controlSet = 0; // SYSTEM: the number of the control set repaired
};
void OfflineHiveOutcome(OfflineHive which, OfflineHiveResult *result);

// What the run did to a hive, saved or not: each key it added (value empty),
// and each value it set, with what the hive held before (existed false: no
// such value). Keys are paths below the hive's root ("ControlSet001\\..."),
// names and string data in the ANSI code page, as the registry calls give them.
struct OfflineChange {
    std::string key;
    std::string value;
    bool keyAdded;
    bool existed;
    DWORD type;
    std::string data;
};
std::vector<OfflineChange> OfflineChanges(OfflineHive which);

// Drops all hives and handles and releases the locks (without writing).
void OfflineUnloadAll(void);

#endif

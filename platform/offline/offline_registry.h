// The offline registry: HKEY_LOCAL_MACHINE\SYSTEM and \SOFTWARE of a mounted
// installation, each one hive file handled through hivex. The Reg* calls of
// platform/registry.h work on the hives loaded here.
#ifndef TESSARIL_PLATFORM_OFFLINE_OFFLINE_REGISTRY_H
#define TESSARIL_PLATFORM_OFFLINE_OFFLINE_REGISTRY_H

#include <stddef.h>

enum OfflineHive { kOfflineSystem = 0, kOfflineSoftware = 1 };

enum OfflineLoadResult {
    kLoadOk = 0,
    kLoadMissing,      // no such file
    kLoadInUse,        // another process holds the hive's lock
    kLoadNotClean,     // the sequence numbers differ
    kLoadCorrupt,      // not a hive, or refused by hivex
    kLoadNoControlSet, // SYSTEM only: no usable Select\Current
    kLoadTooLarge,     // larger than such a hive can be: not read at all
    kLoadLink,         // the file or a folder on its way is a symbolic link
    kLoadFailed        // any other failure (detail in the message)
};

// Loads one hive from the Windows path of its file (resolved through the host
// file layer), locks it for the rest of the run, and decides whether it may
// be written. On failure message holds a sentence about the file.
OfflineLoadResult OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  char *message, size_t size);

// True when the loaded hive may be written (the file and its folder are
// writable, the file system is not read-only).
bool OfflineHiveWritable(OfflineHive which);

// Writes every hive that has changes not yet on disk. False, with a message,
// when one of them could not be written; its file is then as it was.
bool OfflineCommitAll(char *message, size_t size);

// Drops all hives and handles and releases the locks (without writing).
void OfflineUnloadAll(void);

// How many key handles are open now.
int OfflineOpenKeyCount(void);

#endif

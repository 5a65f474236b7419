// The store under the emulated registry: a tree of keys holding named values,
// reached only through a table of methods, as a file system is reached
// through its driver. A store knows nothing of handles, access rights or
// path syntax; the registry front (registry_front.h) adds all of that.
//
// Names handed to a store are in the ANSI code page of the Reg* calls
// (codepage.h: Windows-1252 unless the offline store selected the
// installation's), at most 255 characters for a key, and compare without
// regard to case. Subkeys are listed in the order of KeyNameSortKey
// (key_names.h), as Windows lists them.
#ifndef TESSARIL_PLATFORM_EMULATED_REGISTRY_STORE_H
#define TESSARIL_PLATFORM_EMULATED_REGISTRY_STORE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/base.h"

// A key of a store, as the store numbers it. kStoreTop is the key that
// HKEY_LOCAL_MACHINE stands for.
typedef uint64_t StoreKey;
const StoreKey kStoreTop = 0;

struct RegistryStore;

struct RegistryStoreMethods {
    // The child of key named name. ERROR_FILE_NOT_FOUND when it has none.
    LONG (*findChild)(RegistryStore *store, StoreKey key, const char *name, StoreKey *child);
    // Adds the child name, which key does not have yet.
    LONG (*addChild)(RegistryStore *store, StoreKey key, const char *name, StoreKey *child);
    // The name of the index-th child into name (capacity bytes, the NUL
    // included) and its length into *length; a name that does not fit is
    // not copied. *lastWrite: the child's last write time as a FILETIME, 0
    // when unknown. ERROR_NO_MORE_ITEMS past the last child.
    LONG (*childName)(RegistryStore *store, StoreKey key, DWORD index, char *name,
                      size_t capacity, size_t *length, uint64_t *lastWrite);
    // A value's type and size (in bytes, as the caller sees the data); the
    // data is copied into data only when data is not NULL and it fits in
    // capacity. ERROR_FILE_NOT_FOUND when key has no such value.
    LONG (*getValue)(RegistryStore *store, StoreKey key, const char *name, DWORD *type,
                     BYTE *data, size_t capacity, uint64_t *size);
    // Creates or replaces a value.
    LONG (*setValue)(RegistryStore *store, StoreKey key, const char *name, DWORD type,
                     const BYTE *data, DWORD size);
    // ERROR_SUCCESS when key and its values may be changed; otherwise the
    // status that a change answers.
    LONG (*writable)(RegistryStore *store, StoreKey key);
    // A handle on key is handed out; the handle is closed. Release answers
    // what the close answers: a store that writes its changes when the last
    // handle into them is closed reports the failure of that write here.
    // The offline store is such a store: the save at the last close of a
    // changed hive is how a change the Win32 calls made becomes durable
    // there (Windows keeps its registry itself). A program that is to write
    // a hive once keeps one key of it open across its changes.
    void (*hold)(RegistryStore *store, StoreKey key);
    LONG (*release)(RegistryStore *store, StoreKey key);
};

struct RegistryStore {
    const RegistryStoreMethods *methods;
};

#endif

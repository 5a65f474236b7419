// The registry calls of platform/registry.h for the backends that do not run
// on Windows, written once over whichever store is mounted: the parameter
// checks, the access rights and what a handle without them is refused, the
// HKEY_LOCAL_MACHINE pseudo key, the handle table, the rules for key names
// (no empty component, at most 255 characters), ERROR_MORE_DATA with the
// size needed, and the ends of an enumeration.
//
// The Reg* functions dispatch through a table of calls, the front's own
// unless another is installed: a layer that counts or fails calls (as the
// tests' fault injection does) installs a table of its own that wraps the
// front's.
#ifndef TESSARIL_PLATFORM_EMULATED_REGISTRY_FRONT_H
#define TESSARIL_PLATFORM_EMULATED_REGISTRY_FRONT_H

#include "platform/emulated/registry_store.h"
#include "platform/registry.h"

// Puts store behind HKEY_LOCAL_MACHINE (NULL: none, every key is missing).
// Handles into the previous store are dropped without being released.
void RegistryFrontMount(RegistryStore *store);

// Drops every handle without releasing it, for a store that is going away.
void RegistryFrontDropHandles(void);

// How many key handles are open now.
int RegistryFrontOpenKeyCount(void);

struct RegistryCalls {
    LONG (*createKey)(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                      REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                      LPDWORD disposition);
    LONG (*openKey)(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
    LONG (*queryValue)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                       LPDWORD size);
    LONG (*setValue)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                     DWORD size);
    LONG (*enumKey)(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                    LPSTR keyClass, LPDWORD classSize, PFILETIME lastWrite);
    LONG (*closeKey)(HKEY key);
};

// The front's own calls.
const RegistryCalls *RegistryFrontCalls(void);

// The calls the Reg* functions make from now on; NULL for the front's own.
void RegistryInstallCalls(const RegistryCalls *calls);

#endif

// The registry operations the repair uses, with the Windows names, shapes and
// status codes, and SetRegistryValue built on top of them.
#ifndef TESSARIL_PLATFORM_REGISTRY_H
#define TESSARIL_PLATFORM_REGISTRY_H

#include "platform/base.h"

#ifndef _WIN32
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef DWORD REGSAM;

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define REG_OPTION_NON_VOLATILE 0x00000000L

#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

// RegCreateKeyExA, RegOpenKeyExA, RegQueryValueExA, RegSetValueExA,
// RegEnumKeyExA, RegCloseKey.
TESSARIL_REGISTRY_CALLS(TESSARIL_DECLARE_CALL, TESSARIL_DECLARE_PASS)
#endif // _WIN32

// Access asked for by SetRegistryValue: KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY.
#define TESSARIL_KEY_READ_WRITE 0x2001F

// Opens or creates root\path (and any missing parents), writes one value, and
// closes the key whatever the write returned. True exactly when the write
// succeeded.
bool SetRegistryValue(HKEY root, const char *path, const char *valueName, DWORD type,
                      const BYTE *data, DWORD length);

#endif

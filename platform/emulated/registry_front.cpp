// The six registry calls over a mounted store, and the table they dispatch by.
#include "platform/emulated/registry_front.h"

#include <string.h>

#include "platform/emulated/codepage.h"

namespace {

// Rights that change a key or its values.
const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x00010000 |
                            0x00040000 | 0x00080000;
const size_t kMaxKeyName = 255;       // characters
const size_t kMaxKeyNameBytes = 2 * kMaxKeyName; // in a double-byte code page
const size_t kMaxValueName = 16383;
const size_t kMaxDepth = 512;

// Key handles. A handle is the slot number plus a bias, so that it is never
// NULL nor one of the predefined keys.
const int kMaxKeys = 256;
const uintptr_t kKeyBias = 0x10000;
struct KeySlot {
    bool used;
    StoreKey key;
    REGSAM access;
};

// One component of a path: where it starts and how long it is.
struct Component {
    const char *start;
    size_t size;
};

// What the front holds over the mounted store: the store, the key handles
// into it, and the components of the path a call is opening (kept here
// rather than on the stack for their size). RegistryFrontMount starts it
// anew.
struct Mounted {
    RegistryStore *store = NULL;
    KeySlot keys[kMaxKeys] = {};
    Component parts[kMaxDepth] = {};
};
Mounted g_mounted;

// The installed table of calls, NULL for the front's own: a layer's choice,
// kept across mounts.
const RegistryCalls *g_calls = NULL;

bool IsRoot(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

KeySlot *SlotOf(HKEY key)
{
    uintptr_t v = (uintptr_t)key;
    if (v < kKeyBias || v >= kKeyBias + kMaxKeys)
        return NULL;
    KeySlot *s = &g_mounted.keys[v - kKeyBias];
    return s->used ? s : NULL;
}

const RegistryStoreMethods &M() { return *g_mounted.store->methods; }

// Splits a path below a key into its names, as Windows splits it once the
// path is converted: at a "\" that is a character of its own, never at the
// second byte of a double-byte character ("\x83\x5C" is one character of
// 932). False for a path the registry refuses: an empty name inside it, or
// one longer than 255 characters. One "\" at the end is allowed.
bool SplitPath(const char *path, Component *out, size_t capacity, size_t *count)
{
    *count = 0;
    const unsigned char *p = (const unsigned char *)(path ? path : "");
    size_t left = strlen((const char *)p);
    while (left > 0) {
        size_t bytes = 0, characters = 0;
        while (bytes < left && p[bytes] != '\\') {
            bytes += AnsiCharSize(p + bytes, left - bytes);
            characters++;
        }
        if (bytes == 0 || characters > kMaxKeyName || *count == capacity)
            return false;
        out[(*count)++] = Component{(const char *)p, bytes};
        size_t step = bytes < left ? bytes + 1 : bytes;
        p += step;
        left -= step;
    }
    return true;
}

void NameOf(const Component &c, char *name)
{
    memcpy(name, c.start, c.size);
    name[c.size] = '\0';
}

LONG OpenAt(HKEY base, const char *path, REGSAM access, bool create, PHKEY result,
            LPDWORD disposition)
{
    if (result == NULL)
        return ERROR_INVALID_PARAMETER;
    StoreKey key = kStoreTop;
    REGSAM baseAccess = KEY_ALL_ACCESS;
    if (!IsRoot(base)) {
        KeySlot *s = SlotOf(base);
        if (s == NULL)
            return ERROR_INVALID_HANDLE;
        key = s->key;
        baseAccess = s->access;
    }
    Component *parts = g_mounted.parts;
    size_t count = 0;
    if (!SplitPath(path, parts, kMaxDepth, &count))
        return create ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
    if (g_mounted.store == NULL && (count > 0 || !IsRoot(base)))
        return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    char name[kMaxKeyNameBytes + 1];

    // Writing needs a store that may be written below the key the path
    // starts from (from HKEY_LOCAL_MACHINE: below its first name).
    if ((access & kWriteRights) && g_mounted.store != NULL) {
        StoreKey checked = key;
        bool check = true;
        if (IsRoot(base)) {
            check = false;
            if (count > 0) {
                NameOf(parts[0], name);
                check = M().findChild(g_mounted.store, kStoreTop, name, &checked) == ERROR_SUCCESS;
            }
        }
        if (check && M().writable(g_mounted.store, checked) != ERROR_SUCCESS)
            return ERROR_ACCESS_DENIED;
    }

    bool created = false;
    for (size_t i = 0; i < count; i++) {
        NameOf(parts[i], name);
        StoreKey child = 0;
        LONG status = M().findChild(g_mounted.store, key, name, &child);
        created = false;
        if (status == ERROR_FILE_NOT_FOUND && create) {
            if (!(baseAccess & KEY_CREATE_SUB_KEY))
                return ERROR_ACCESS_DENIED;
            status = M().writable(g_mounted.store, key);
            if (status == ERROR_SUCCESS)
                status = M().addChild(g_mounted.store, key, name, &child);
            created = status == ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS)
            return status;
        key = child;
    }
    if (IsRoot(base) && count == 0) {
        // The HKEY_LOCAL_MACHINE pseudo key itself.
        *result = HKEY_LOCAL_MACHINE;
        if (disposition)
            *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    int slot = 0;
    while (slot < kMaxKeys && g_mounted.keys[slot].used)
        slot++;
    if (slot == kMaxKeys)
        return ERROR_NOT_ENOUGH_MEMORY;
    g_mounted.keys[slot] = KeySlot{true, key, access};
    M().hold(g_mounted.store, key);
    *result = (HKEY)(kKeyBias + (uintptr_t)slot);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG FrontCreateKey(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                    REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                    LPDWORD lpdwDisposition)
{
    if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    return OpenAt(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LONG FrontOpenKey(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return OpenAt(hKey, lpSubKey, samDesired, false, phkResult, NULL);
}

LONG FrontQueryValue(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                     LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != NULL || (lpData != NULL && lpcbData == NULL))
        return ERROR_INVALID_PARAMETER;
    if (IsRoot(hKey))
        return ERROR_FILE_NOT_FOUND;
    KeySlot *s = SlotOf(hKey);
    if (s == NULL)
        return ERROR_INVALID_HANDLE;
    if (!(s->access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    DWORD type = REG_NONE;
    uint64_t needed = 0;
    LONG status = M().getValue(g_mounted.store, s->key, lpValueName ? lpValueName : "", &type,
                               lpData, lpData != NULL ? *lpcbData : 0, &needed);
    if (status != ERROR_SUCCESS)
        return status;
    if (needed > 0xFFFFFFFFu)
        return ERROR_MORE_DATA;
    if (lpType)
        *lpType = type;
    status = lpData != NULL && *lpcbData < needed ? ERROR_MORE_DATA : ERROR_SUCCESS;
    if (lpcbData)
        *lpcbData = (DWORD)needed;
    return status;
}

LONG FrontSetValue(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                   const BYTE *lpData, DWORD cbData)
{
    if (Reserved != 0 || (lpData == NULL && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    if (IsRoot(hKey))
        return ERROR_ACCESS_DENIED;
    KeySlot *s = SlotOf(hKey);
    if (s == NULL)
        return ERROR_INVALID_HANDLE;
    if (!(s->access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    LONG status = M().writable(g_mounted.store, s->key);
    if (status != ERROR_SUCCESS)
        return status;
    const char *name = lpValueName ? lpValueName : "";
    // The limit is in characters, as the name is once converted.
    if (AnsiToUtf16le((const unsigned char *)name, strlen(name), NULL, 0) / 2 > kMaxValueName)
        return ERROR_INVALID_PARAMETER;
    return M().setValue(g_mounted.store, s->key, name, dwType, lpData, cbData);
}

LONG FrontEnumKey(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                  LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (lpName == NULL || lpcchName == NULL || lpReserved != NULL)
        return ERROR_INVALID_PARAMETER;
    StoreKey key = kStoreTop;
    if (!IsRoot(hKey)) {
        KeySlot *s = SlotOf(hKey);
        if (s == NULL)
            return ERROR_INVALID_HANDLE;
        if (!(s->access & KEY_ENUMERATE_SUB_KEYS))
            return ERROR_ACCESS_DENIED;
        key = s->key;
    }
    if (g_mounted.store == NULL)
        return ERROR_NO_MORE_ITEMS;
    char name[kMaxKeyName * 3 + 1];
    size_t len = 0;
    uint64_t stamp = 0;
    LONG status = M().childName(g_mounted.store, key, dwIndex, name, sizeof name, &len, &stamp);
    if (status != ERROR_SUCCESS)
        return status;
    if (len >= sizeof name || len + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    memcpy(lpName, name, len + 1);
    *lpcchName = (DWORD)len;
    if (lpClass != NULL && lpcchClass != NULL && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != NULL) {
        lpftLastWriteTime->dwLowDateTime = (DWORD)stamp;
        lpftLastWriteTime->dwHighDateTime = (DWORD)(stamp >> 32);
    }
    return ERROR_SUCCESS;
}

LONG FrontCloseKey(HKEY hKey)
{
    if (IsRoot(hKey))
        return ERROR_SUCCESS;
    KeySlot *s = SlotOf(hKey);
    if (s == NULL)
        return ERROR_INVALID_HANDLE;
    s->used = false;
    return M().release(g_mounted.store, s->key);
}

const RegistryCalls kFrontCalls = {FrontCreateKey, FrontOpenKey,  FrontQueryValue,
                                   FrontSetValue,  FrontEnumKey, FrontCloseKey};

const RegistryCalls &Calls() { return g_calls ? *g_calls : kFrontCalls; }

} // namespace

void RegistryFrontMount(RegistryStore *store)
{
    g_mounted = Mounted();
    g_mounted.store = store;
}

void RegistryFrontDropHandles(void)
{
    for (int i = 0; i < kMaxKeys; i++)
        g_mounted.keys[i].used = false;
}

int RegistryFrontOpenKeyCount(void)
{
    int n = 0;
    for (int i = 0; i < kMaxKeys; i++)
        if (g_mounted.keys[i].used)
            n++;
    return n;
}

const RegistryCalls *RegistryFrontCalls(void) { return &kFrontCalls; }

void RegistryInstallCalls(const RegistryCalls *calls) { g_calls = calls; }

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    return Calls().createKey(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                             lpSecurityAttributes, phkResult, lpdwDisposition);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    return Calls().openKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    return Calls().queryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData)
{
    return Calls().setValue(hKey, lpValueName, Reserved, dwType, lpData, cbData);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime)
{
    return Calls().enumKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                           lpftLastWriteTime);
}

LONG WINAPI RegCloseKey(HKEY hKey) { return Calls().closeKey(hKey); }

// SetRegistryValue, on top of the registry calls.
#include "platform/registry.h"

bool SetRegistryValue(HKEY root, const char *path, const char *valueName, DWORD type,
                      const BYTE *data, DWORD length)
{
    HKEY key;
    char noClass[1] = "";
    if (RegCreateKeyExA(root, path, 0, noClass, REG_OPTION_NON_VOLATILE, TESSARIL_KEY_READ_WRITE,
                        NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExA(key, valueName, 0, type, data, length);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

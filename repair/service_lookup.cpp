// The service registration lookup.
#include "repair/service_lookup.h"

#include <string.h>

#include "log/text.h"
#include "platform/registry.h"

static const char kServicesPath[] = "SYSTEM\\CurrentControlSet\\services";

// The registry's own limit on a key name, in characters, and what such a name
// takes in bytes at most (two a character in a double-byte code page).
static const size_t kKeyNameMax = 255;
static const size_t kKeyNameBytesMax = 2 * kKeyNameMax;

int IsServiceRegistered(const char *serviceName)
{
    // No key can bear a longer name: counted in characters, as the registry
    // counts it once converted.
    size_t length = 0, characters = 0;
    while (serviceName[length] != '\0' && characters <= kKeyNameMax) {
        length += CharacterSize(serviceName + length);
        characters++;
    }
    if (characters > kKeyNameMax)
        return 0;

    // Direct test: the service key itself. A name holding "\" reaches below
    // the services key, as the registry reads it.
    char path[sizeof kServicesPath + 1 + kKeyNameBytesMax];
    memcpy(path, kServicesPath, sizeof kServicesPath - 1);
    path[sizeof kServicesPath - 1] = '\\';
    memcpy(path + sizeof kServicesPath, serviceName, length + 1);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return 1;
    }

    // Fallback: walk the services key's subkeys and compare their names.
    HKEY services;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesPath, 0, KEY_READ, &services) != ERROR_SUCCESS)
        return 0;
    int found = 0;
    for (DWORD index = 0;; index++) {
        char name[kKeyNameBytesMax + 1];
        DWORD capacity = sizeof name;
        LONG status = RegEnumKeyExA(services, index, name, &capacity, NULL, NULL, NULL, NULL);
        // A name longer than any key name can be cannot be this service:
        // pass over it rather than give up on the keys after it.
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        if (lstrcmpiA(name, serviceName) == 0) {
            found = 1;
            break;
        }
    }
    RegCloseKey(services);
    return found;
}

// The service key provisioning.
#include "repair/service_key.h"

#include "log/repair_log.h"
#include "log/text.h"
#include "platform/registry.h"

namespace {

struct ServiceRow {
    const char *driver;
    const char *keyPath;
    DWORD errorControl;
};

// The last row also serves every name that matches none of the others.
const ServiceRow kServiceRows[] = {
    {"Gravle2k", "SYSTEM\\CurrentControlSet\\Services\\Gravle2k", 0},
    {"Mbx7_2k", "SYSTEM\\CurrentControlSet\\Services\\Mbx7_2k", 1},
    {"Mbx7_xp", "SYSTEM\\CurrentControlSet\\Services\\Mbx7_xp", 1},
    {"kvt_2k", "SYSTEM\\CurrentControlSet\\Services\\kvt_2k", 0},
};
const int kRowCount = sizeof kServiceRows / sizeof kServiceRows[0];

bool SetDword(const char *path, const char *name, DWORD value)
{
    BYTE data[4] = {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)};
    return SetRegistryValue(HKEY_LOCAL_MACHINE, path, name, REG_DWORD, data, 4);
}

} // namespace

bool EnsureServiceKey(const char *driverName)
{
    char path[MAX_PATH] = "System\\CurrentControlSet\\Services\\";
    if (!AppendText(path, sizeof path, driverName))
        return false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return true;
    }

    int row = 0;
    while (row < kRowCount - 1 && lstrcmpiA(driverName, kServiceRows[row].driver) != 0)
        row++;
    const char *keyPath = kServiceRows[row].keyPath;

    if (row == 0) {
        // Creating the Parameters key creates the service key with it.
        if (!SetRegistryValue(HKEY_LOCAL_MACHINE,
                              "SYSTEM\\CurrentControlSet\\Services\\Gravle2k\\Parameters",
                              "ExcludeMiniports", REG_SZ, (const BYTE *)"", 1)) {
            WriteLogLine("Failed - Can't create Parameters key for Gravle2k");
            return false;
        }
    }
    if (!SetDword(keyPath, "ErrorControl", kServiceRows[row].errorControl)) {
        WriteLogLine("Failed - Can't create Service keys");
        return false;
    }
    // From here on a failed write leaves the key with what was written.
    if (lstrcmpiA(driverName, "kvt_2k") != 0)
        SetDword(keyPath, "Enabled", 1);
    SetDword(keyPath, "Tag", 6);
    SetDword(keyPath, "Type", 1);
    SetDword(keyPath, "Start", 1);
    SetRegistryValue(HKEY_LOCAL_MACHINE, keyPath, "Group", REG_SZ, (const BYTE *)"Filter", 7);
    return true;
}

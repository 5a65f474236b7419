// The repair wizard flow.
#include "wizard/wizard.h"

#include <string.h>

#include "log/repair_log.h"
#include "log/text.h"
#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "repair/filter_list.h"
#include "repair/service_key.h"
#include "wizard/os_detect.h"
#include "wizard/restart.h"

namespace {

const char kCaption[] = "Tessaril Wizard";
const char kConfirmText[] =
    "Tessaril is ready to perform the registry checking and repair.\n\n\t Would you like to continue.?";
const char kUnsupportedText[] = "This utility will run only in Windows 2000 and in Windows XP";
const char kNoClassKeyText[] = "Cannot open the Filter Key";
const char kRestartText[] =
    "You must restart your system for the configuration changes made to UpperFilter & "
    "LowerFilter to take effect.\n\n\t\tClick Yes to restart now or No if you plan to restart later";

const char kClassKeyPath[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}";
const char kLogFileName[] = "\\Temp\\Tessaril.log";

struct DriverEntry {
    const char *valueName;
    const char *driverName;
};

// The third entry's driver depends on the system; see DriverFor.
const DriverEntry kDriverEntries[] = {
    {"UpperFilters", "Gravle2k"},
    {"UpperFilters", "kvt_2k"},
    {"LowerFilters", "Mbx7_xp"},
};
const int kEntryCount = sizeof kDriverEntries / sizeof kDriverEntries[0];

const char *DriverFor(int entry)
{
    if (entry == 2 && g_OperatingSystem.windows2000)
        return "Mbx7_2k";
    return kDriverEntries[entry].driverName;
}

// Fills LogFilePath and deletes the old log. When the Windows directory is
// unknown or too long for the path, logging stays off for the run.
void ResetLog(void)
{
    LogFilePath[0] = '\0';
    UINT length = GetWindowsDirectoryA(LogFilePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !AppendText(LogFilePath, MAX_PATH, kLogFileName)) {
        LogFilePath[0] = '\0';
        return;
    }
    DeleteFileA(LogFilePath);
}

// The system directory followed by "\drivers"; empty when it is unknown.
void BuildDriversDirectory(char *out, size_t size)
{
    out[0] = '\0';
    UINT length = GetSystemDirectoryA(out, (UINT)size);
    if (length == 0 || length >= size || !AppendText(out, size, "\\drivers"))
        out[0] = '\0';
}

void LogFailure(const char *pattern, const char *driverName)
{
    char message[256];
    FormatText(message, sizeof message, pattern, driverName);
    WriteLogLine(message);
}

} // namespace

const char *RepairClassKeyPath(void) { return kClassKeyPath; }

bool GetRepairEntry(int entry, const char **valueName, const char **driverName)
{
    if (entry < 0 || entry >= kEntryCount)
        return false;
    *valueName = kDriverEntries[entry].valueName;
    *driverName = DriverFor(entry);
    return true;
}

int RunRepairWizard(void)
{
    if (MessageBoxA(NULL, kConfirmText, kCaption, MB_YESNO | MB_ICONQUESTION) == IDNO)
        return 0;

    DetectOperatingSystem();
    if (g_OperatingSystem.windows9x || g_OperatingSystem.otherNT) {
        MessageBoxA(NULL, kUnsupportedText, kCaption, MB_OK | MB_ICONERROR);
        return 0;
    }

    ResetLog();
    char driversDirectory[MAX_PATH];
    BuildDriversDirectory(driversDirectory, sizeof driversDirectory);
    WriteLogLine(g_OperatingSystem.windows2000 ? "Operating System = Windows 2K"
                                               : "Operating System = Windows XP");

    // The class key stays open across the driver loop. Where the registry
    // is saved at the last close of a key into a changed hive (the Linux
    // program's offline store), this open key is what makes the whole
    // repair one save, at its close below, instead of one per change.
    HKEY classKey;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kClassKeyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &classKey, NULL) != ERROR_SUCCESS) {
        WriteLogLine("Fail - Cannot create HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                     "{4D36E965-E325-11CE-BFC1-08002BE10318}");
        MessageBoxA(NULL, kNoClassKeyText, kCaption, MB_OK | MB_ICONERROR);
        return 0;
    }

    char valueName[MAX_PATH];
    char driverName[512];
    char driverPath[MAX_PATH];
    for (int entry = 0; entry < kEntryCount; entry++) {
        CopyText(valueName, sizeof valueName, kDriverEntries[entry].valueName);
        CopyText(driverName, sizeof driverName, DriverFor(entry));
        memset(driverPath, 0, sizeof driverPath);
        // Without a drivers directory, or when the path does not fit, the
        // file cannot be found: the entry is reported as missing.
        bool built = driversDirectory[0] != '\0' &&
                     CopyText(driverPath, sizeof driverPath, driversDirectory) &&
                     AppendText(driverPath, sizeof driverPath, "\\") &&
                     AppendText(driverPath, sizeof driverPath, driverName) &&
                     AppendText(driverPath, sizeof driverPath, ".sys");

        if (!built || !FileExists(driverPath)) {
            LogFailure("Fail - Missing %s", driverName);
            continue;
        }
        if (!EnsureServiceKey(driverName)) {
            LogFailure("Fail - Missing Service Key for %s", driverName);
            continue;
        }
        if (MergeFilterList(classKey, valueName, driverName) == 0)
            LogFailure("Fail - Cannot create %s in Filter", driverName);
    }
    RegCloseKey(classKey);

    if (MessageBoxA(NULL, kRestartText, kCaption, MB_YESNO | MB_ICONQUESTION) == IDYES)
        RestartSystem();
    return 0;
}

// The Linux program's report of a run: the state of what it repairs, and its
// exit status (offline_words.cpp tells them).
#include "tessaril/report.h"

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/version.h"
#include "wizard/os_detect.h"
#include "wizard/wizard.h"

#include <string.h>

#include <string>
#include <vector>

namespace {

const char kServicesPath[] = "SYSTEM\\CurrentControlSet\\Services\\";

// The filter value of an entry, as an index of RepairState's lists: the
// values in the order the entries first name them.
int ListOf(int entry)
{
    const char *value, *driver, *first, *firstDriver;
    GetRepairEntry(entry, &value, &driver);
    GetRepairEntry(0, &first, &firstDriver);
    return lstrcmpiA(value, first) == 0 ? 0 : 1;
}

bool KeyExists(const char *path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Whether the driver stands once in the multi-string list.
bool ListedOnce(const std::vector<BYTE> &list, const char *driver)
{
    int found = 0;
    for (size_t at = 0; at < list.size() && list[at] != 0;) {
        size_t n = strnlen((const char *)&list[at], list.size() - at);
        std::string entry((const char *)&list[at], n);
        if (lstrcmpiA(entry.c_str(), driver) == 0)
            found++;
        at += n + 1;
    }
    return found == 1;
}

// A list's text as the log shows it.
void ListText(const std::string &data, char *text)
{
    FormatFilterList((const BYTE *)data.data(), (DWORD)data.size(), text);
}

// The path of a key of the repaired control set below the SYSTEM hive's
// root, from its path below HKEY_LOCAL_MACHINE.
std::string InControlSet(const InstallationOutcome &outcome, const char *path)
{
    const char prefix[] = "SYSTEM\\CurrentControlSet\\";
    char set[32];
    snprintf(set, sizeof set, "ControlSet%03u\\", outcome.controlSet);
    return std::string(set) + (strncmp(path, prefix, sizeof prefix - 1) == 0 ? path + sizeof prefix - 1 : path);
}

} // namespace

const char *RepairValueName(int list)
{
    const char *value = "", *driver;
    for (int entry = 0; entry < kRepairEntries; entry++)
        if (ListOf(entry) == list)
            GetRepairEntry(entry, &value, &driver);
    return value;
}

const char *RepairDriver(int entry)
{
    const char *value, *driver = "";
    GetRepairEntry(entry, &value, &driver);
    return driver;
}

NotSetUp WhyNotSetUp(const RepairState &after, int entry)
{
    if (!after.fileThere[entry])
        return kFileMissing;
    if (!after.serviceThere[entry])
        return kNoServiceKey;
    if (!after.listed[entry])
        return kNotListed;
    return kSetUp;
}

void ReadRepairState(RepairState *state)
{
    memset(state, 0, sizeof *state);
    std::vector<BYTE> lists[kFilterValues];
    HKEY classKey;
    bool open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, RepairClassKeyPath(), 0, KEY_READ, &classKey) ==
                ERROR_SUCCESS;
    for (int list = 0; list < kFilterValues && open; list++) {
        DWORD type = 0, length = 0;
        if (RegQueryValueExA(classKey, RepairValueName(list), NULL, &type, NULL, &length) != ERROR_SUCCESS)
            continue;
        lists[list].resize(length + 2);
        if (RegQueryValueExA(classKey, RepairValueName(list), NULL, &type, lists[list].data(), &length) !=
            ERROR_SUCCESS)
            continue;
        lists[list].resize(length);
        state->listThere[list] = true;
        ListText(std::string(lists[list].begin(), lists[list].end()), state->list[list]);
    }
    if (open)
        RegCloseKey(classKey);

    char systemDirectory[MAX_PATH];
    UINT length = GetSystemDirectoryA(systemDirectory, sizeof systemDirectory);
    for (int entry = 0; entry < kRepairEntries; entry++) {
        char path[MAX_PATH + 64];
        snprintf(path, sizeof path, "%s%s", kServicesPath, RepairDriver(entry));
        state->serviceThere[entry] = KeyExists(path);
        snprintf(path, sizeof path, "%s\\drivers\\%s.sys", systemDirectory, RepairDriver(entry));
        state->fileThere[entry] = length > 0 && length < sizeof systemDirectory && FileExists(path);
        state->listed[entry] = state->listThere[ListOf(entry)] && ListedOnce(lists[ListOf(entry)], RepairDriver(entry));
    }
}

void StateBeforeRun(const InstallationOutcome &outcome, const RepairState &after,
                    RepairState *before)
{
    *before = after;
    std::string classKey = InControlSet(outcome, RepairClassKeyPath());
    for (const InstallationChange &c : outcome.changes) {
        for (int list = 0; list < kFilterValues; list++)
            if (!c.value.empty() && lstrcmpiA(c.key.c_str(), classKey.c_str()) == 0 &&
                lstrcmpiA(c.value.c_str(), RepairValueName(list)) == 0) {
                before->listThere[list] = c.existed;
                before->list[list][0] = '\0';
                if (c.existed)
                    ListText(c.before, before->list[list]);
            }
        for (int entry = 0; entry < kRepairEntries; entry++) {
            std::string service = InControlSet(outcome, kServicesPath) + RepairDriver(entry);
            if (c.value.empty() && lstrcmpiA(c.key.c_str(), service.c_str()) == 0)
                before->serviceThere[entry] = false;
        }
    }
}

bool AllDriversSetUp(const RepairState &after)
{
    for (int entry = 0; entry < kRepairEntries; entry++)
        if (WhyNotSetUp(after, entry) != kSetUp)
            return false;
    return true;
}

int DecideExitStatus(const InstallationOutcome &outcome, bool closed, const RepairState &after,
                     bool check)
{
    if (check)
        return outcome.changed || !AllDriversSetUp(after) ? kStatusWouldChange : kStatusInOrder;
    if (outcome.declined)
        return kStatusDeclined;
    if (!closed || outcome.saveFailed || outcome.error[0] != '\0')
        return kStatusNotSaved;
    return AllDriversSetUp(after) ? kStatusInOrder : kStatusDriverNotSet;
}


bool UnsupportedSystem(SystemVersion *version)
{
    if (!g_OperatingSystem.windows9x && !g_OperatingSystem.otherNT)
        return false;
    OSVERSIONINFOEXA info;
    version->known = QueryInstallationVersion(&info);
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    return true;
}

bool QueryInstallationVersion(OSVERSIONINFOEXA *info)
{
    memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = sizeof *info;
    return GetVersionExA((LPOSVERSIONINFOA)info) != FALSE;
}

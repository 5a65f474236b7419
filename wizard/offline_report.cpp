// The Linux program's report of a run: its exit status and its summary.
#include "wizard/offline_report.h"

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

const char *ValueName(int list)
{
    const char *value = "", *driver;
    for (int entry = 0; entry < kRepairEntries; entry++)
        if (ListOf(entry) == list)
            GetRepairEntry(entry, &value, &driver);
    return value;
}

const char *Driver(int entry)
{
    const char *value, *driver = "";
    GetRepairEntry(entry, &value, &driver);
    return driver;
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

// Why a driver is not set up, after a run; NULL when it is.
const char *WhyNotSetUp(const RepairState &after, int entry)
{
    if (!after.fileThere[entry])
        return "its file is missing or cannot be opened";
    if (!after.serviceThere[entry])
        return "its service key could not be made";
    if (!after.listed[entry])
        return "its filter list could not be written";
    return NULL;
}

void Quoted(FILE *out, bool there, const char *list)
{
    if (there)
        fprintf(out, "\"%s\"", list);
    else
        fputs("none", out);
}

} // namespace

void ReadRepairState(RepairState *state)
{
    memset(state, 0, sizeof *state);
    std::vector<BYTE> lists[kFilterValues];
    HKEY classKey;
    bool open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, RepairClassKeyPath(), 0, KEY_READ, &classKey) ==
                ERROR_SUCCESS;
    for (int list = 0; list < kFilterValues && open; list++) {
        DWORD type = 0, length = 0;
        if (RegQueryValueExA(classKey, ValueName(list), NULL, &type, NULL, &length) != ERROR_SUCCESS)
            continue;
        lists[list].resize(length + 2);
        if (RegQueryValueExA(classKey, ValueName(list), NULL, &type, lists[list].data(), &length) !=
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
        snprintf(path, sizeof path, "%s%s", kServicesPath, Driver(entry));
        state->serviceThere[entry] = KeyExists(path);
        snprintf(path, sizeof path, "%s\\drivers\\%s.sys", systemDirectory, Driver(entry));
        state->fileThere[entry] = length > 0 && length < sizeof systemDirectory && FileExists(path);
        state->listed[entry] = state->listThere[ListOf(entry)] && ListedOnce(lists[ListOf(entry)], Driver(entry));
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
                lstrcmpiA(c.value.c_str(), ValueName(list)) == 0) {
                before->listThere[list] = c.existed;
                before->list[list][0] = '\0';
                if (c.existed)
                    ListText(c.before, before->list[list]);
            }
        for (int entry = 0; entry < kRepairEntries; entry++) {
            std::string service = InControlSet(outcome, kServicesPath) + Driver(entry);
            if (c.value.empty() && lstrcmpiA(c.key.c_str(), service.c_str()) == 0)
                before->serviceThere[entry] = false;
        }
    }
}

bool AllDriversSetUp(const RepairState &after)
{
    for (int entry = 0; entry < kRepairEntries; entry++)
        if (WhyNotSetUp(after, entry) != NULL)
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

void PrintSummary(FILE *out, const InstallationOutcome &outcome, const RepairState &before,
                  const RepairState &after, bool check)
{
    char controlSet[32] = "the current control set";
    if (outcome.controlSet != 0)
        snprintf(controlSet, sizeof controlSet, "ControlSet%03u", outcome.controlSet);
    if (check)
        fprintf(out, "tessaril: checked %s of %s: %s\n", controlSet, outcome.hive,
                outcome.changed ? "a repair would change it" : "nothing to change");
    else if (outcome.saveFailed || outcome.error[0] != '\0')
        fprintf(out, "tessaril: %s of %s: not repaired; the hive is as it was\n", controlSet,
                outcome.hive);
    else
        fprintf(out, "tessaril: %s of %s: %s\n", controlSet, outcome.hive,
                outcome.saved ? "repaired, and the hive saved"
                              : "nothing to change, so the hive was left as it was");

    // Changes that did not reach the disk are not told as made.
    bool unchanged = !check && !outcome.saved;
    for (int list = 0; list < kFilterValues && !unchanged; list++) {
        if (before.listThere[list] == after.listThere[list] &&
            strcmp(before.list[list], after.list[list]) == 0)
            continue;
        fprintf(out, "tessaril: %s %s ", ValueName(list), check ? "would go from" : "went from");
        Quoted(out, before.listThere[list], before.list[list]);
        fputs(" to ", out);
        Quoted(out, after.listThere[list], after.list[list]);
        fputs("\n", out);
    }
    bool any = false;
    for (int entry = 0; entry < kRepairEntries && !unchanged; entry++)
        if (!before.serviceThere[entry] && after.serviceThere[entry]) {
            fprintf(out, "%s%s", any ? ", " : check ? "tessaril: service keys a repair would create: "
                                                   : "tessaril: service keys created: ",
                    Driver(entry));
            any = true;
        }
    if (any)
        fputs("\n", out);
    for (int entry = 0; entry < kRepairEntries && !outcome.saveFailed; entry++)
        if (const char *why = WhyNotSetUp(after, entry))
            fprintf(out, "tessaril: %s %s set up: %s\n", Driver(entry),
                    check ? "could not be" : "is not", why);
    if (outcome.kept[0] != '\0')
        fprintf(out, "tessaril: the hive as it was is kept as %s\n", outcome.kept);
    if (check)
        fputs("tessaril: nothing was written\n", out);
    else if (outcome.log[0] != '\0')
        fprintf(out, "tessaril: the log: %s\n", outcome.log);
    else
        fputs("tessaril: no log could be kept\n", out);
}

bool DescribeUnsupportedSystem(char *text, size_t size)
{
    if (!g_OperatingSystem.windows9x && !g_OperatingSystem.otherNT)
        return false;
    OSVERSIONINFOEXA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA((LPOSVERSIONINFOA)&info)) {
        snprintf(text, size, "names no Windows version that can be read (in the SOFTWARE hive)");
        return true;
    }
    static const struct {
        DWORD major, minor;
        const char *name;
    } kNames[] = {
        {4, 0, "Windows NT 4.0"},
        {6, 0, "Windows Vista or Server 2008"},
        {6, 1, "Windows 7 or Server 2008 R2"},
        {6, 2, "Windows 8 or Server 2012"},
        {6, 3, "Windows 8.1 or Server 2012 R2"},
        {10, 0, "Windows 10 or later"},
    };
    const char *name = info.dwMajorVersion < 5 ? "an NT release older than Windows 2000"
                                                : "an NT release newer than Windows XP";
    for (const auto &k : kNames)
        if (k.major == info.dwMajorVersion && k.minor == info.dwMinorVersion)
            name = k.name;
    snprintf(text, size, "is %s (version %lu.%lu)", name, (unsigned long)info.dwMajorVersion,
             (unsigned long)info.dwMinorVersion);
    return true;
}

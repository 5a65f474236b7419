// The mounted installation: a path names its Windows folder or the root of
// its system drive; the Windows folder becomes "C:\<its name>" for the wizard,
// and its hives are loaded from system32\config.
#include "platform/installation.h"

#include "platform/emulated/codepage.h"
#include "platform/offline/hivex_store.h"
#include "platform/offline/installation_report.h"
#include "platform/offline/scripted_answers.h"
#include "platform/offline/windows_folder.h"
#include "platform/posix/host_files.h"
#include "platform/registry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The log files Windows keeps beside a hive (system.LOG on XP, SYSTEM.LOG1
// and SYSTEM.LOG2 from Vista on), those that hold anything, as "a, b".
void FindHiveLogs(const char *hiveWindowsPath, char *out, size_t size)
{
    out[0] = '\0';
    int folder = -1;
    char leaf[256];
    if (!HostOpenParent(hiveWindowsPath, &folder, leaf, sizeof leaf))
        return;
    DIR *dir = fdopendir(folder);
    if (dir == NULL) {
        close(folder);
        return;
    }
    rewinddir(dir); // the search for the hive's spelling may have read it to the end
    size_t n = strlen(leaf), used = 0;
    for (struct dirent *e = readdir(dir); e != NULL; e = readdir(dir)) {
        const char *tail = e->d_name + n;
        struct stat st;
        if (strncasecmp(e->d_name, leaf, n) != 0 || strncasecmp(tail, ".LOG", 4) != 0 ||
            (tail[4] != '\0' && !(tail[4] >= '1' && tail[4] <= '9' && tail[5] == '\0')) ||
            fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_size == 0)
            continue;
        int w = snprintf(out + used, size - used, "%s%s", used ? ", " : "", e->d_name);
        if (w < 0 || (size_t)w >= size - used) {
            out[used] = '\0';
            break;
        }
        used += (size_t)w;
    }
    closedir(dir);
}

// Takes the installation's ANSI code page from its SYSTEM hive (value ACP of
// Control\Nls\CodePage in the control set repaired). A code page iconv does
// not know leaves Windows-1252, and its ACP text in unknown.
void SelectInstallationCodePage(char *unknown, size_t size)
{
    unknown[0] = '\0';
    SelectCodePage(1252);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return;
    char text[32] = "";
    DWORD type = 0, length = sizeof text - 1;
    LONG status = RegQueryValueExA(key, "ACP", NULL, &type, (LPBYTE)text, &length);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return;
    text[length < sizeof text ? length : sizeof text - 1] = '\0';
    unsigned number = 0;
    bool digits = text[0] != '\0';
    for (const char *p = text; *p && digits; p++) {
        digits = *p >= '0' && *p <= '9' && number < 100000;
        number = number * 10 + (unsigned)(*p - '0');
    }
    if (digits && SelectCodePage(number))
        return;
    snprintf(unknown, size, "%s", text);
}

InstallationOptions g_options;
std::string g_host;               // the Windows folder
char g_log[300];                  // the log's Windows path, when its folder is there

// The path of an open folder, as the system resolved it.
bool FolderPath(int dirfd, char *out, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, out, size - 1);
    if (n <= 0 || (size_t)n >= size - 1)
        return false;
    out[n] = '\0';
    return true;
}

} // namespace

void SetInstallationOptions(const InstallationOptions &options)
{
    g_options = options;
    OfflineStoreOptions(options.check, options.backup);
    OfflineQuietBoxes(options.quiet || options.check);
    HostFilesWriteNothing(options.check);
}

bool OpenOfflineInstallation(const char *path, OfflineOpenReport *report)
{
    OfflineOpenReport &r = *report;
    r = OfflineOpenReport();
    g_host.clear();
    g_log[0] = '\0';
    if (path == NULL || path[0] == '\0') {
        r.refusal = kOpenNoPath;
        return false;
    }
    if (!FindWindowsFolder(path, &r.folder)) {
        r.refusal = kOpenNoFolder;
        return false;
    }
    const char *host = r.folder.folder;
    const char *base = strrchr(host, '/');
    base = base ? base + 1 : host;
    char windows[260];
    if (base[0] == '\0' || strchr(base, '\\') != NULL || strlen(base) > 200) {
        r.refusal = kOpenBadName;
        return false;
    }
    snprintf(windows, sizeof windows, "C:\\%s", base);
    if (!HostFilesSetRoot(windows, host)) {
        r.refusal = kOpenTooLong;
        return false;
    }
    char winPath[300];
    char shown[PATH_MAX + 64];
    snprintf(winPath, sizeof winPath, "%s\\system32\\config\\system", windows);
    snprintf(shown, sizeof shown, "%s/system32/config/system", host);
    HiveLoadProblem loaded = OfflineLoadHive(kOfflineSystem, winPath, shown, &r.system);
    if (loaded == kHiveNotClean)
        FindHiveLogs(winPath, r.logs, sizeof r.logs);
    if (loaded != kHiveLoaded) {
        r.refusal = kOpenSystemHive;
        return false;
    }
    r.readOnly = OfflineHiveReadOnly(kOfflineSystem);
    if (r.readOnly != kHiveWritable && !g_options.check) {
        OfflineUnloadAll();
        r.refusal = kOpenReadOnly;
        return false;
    }
    SelectInstallationCodePage(r.codePage, sizeof r.codePage);

    snprintf(winPath, sizeof winPath, "%s\\system32\\config\\software", windows);
    snprintf(shown, sizeof shown, "%s/system32/config/software", host);
    if (OfflineLoadHive(kOfflineSoftware, winPath, shown, &r.software) == kHiveLocked) {
        OfflineUnloadAll();
        r.refusal = kOpenSoftwareInUse;
        return false;
    }
    // The log goes to Temp; a Temp that is a link is not followed, and one
    // that is missing is not made, so the run keeps no log.
    int dirfd = -1;
    char leaf[256];
    snprintf(winPath, sizeof winPath, "%s\\Temp\\Tessaril.log", windows);
    if (HostOpenParent(winPath, &dirfd, leaf, sizeof leaf)) {
        snprintf(g_log, sizeof g_log, "%s", winPath);
        close(dirfd);
    } else if (!g_options.check) {
        r.temp = errno == ELOOP ? kLogFolderLink : kLogFolderMissing;
    }
    g_host = host;
    return true;
}

bool CloseOfflineInstallation(HiveSaveReport *report, bool *unsaved, InstallationOutcome *outcome)
{
    bool ok = OfflineCommitAll(report);
    if (unsaved != NULL)
        *unsaved = !ok && OfflineHiveUnsaved(kOfflineSystem);
    // What the run left is read from the save's record while the hives
    // still hold it.
    if (outcome != NULL)
        GetInstallationOutcome(outcome);
    OfflineUnloadAll();
    return ok;
}

void GetInstallationOutcome(InstallationOutcome *outcome)
{
    *outcome = InstallationOutcome();
    outcome->windows = g_host;
    OfflineBoxRecord boxes;
    OfflineBoxesMet(&boxes);
    outcome->questions = boxes.questions;
    outcome->declined = boxes.declined;
    outcome->endOfInput = boxes.endOfInput;
    outcome->restartWithheld = boxes.restartWithheld;
    snprintf(outcome->error, sizeof outcome->error, "%s", boxes.error);
    OfflineHiveResult system;
    OfflineHiveOutcome(kOfflineSystem, &system);
    outcome->controlSet = system.controlSet;
    outcome->changed = system.changed;
    outcome->saved = system.saved;
    outcome->saveFailed = system.saveFailed;
    // The hive as its load named it, and the old one beside it.
    outcome->hive = system.shown;
    if (system.kept[0] != '\0')
        outcome->kept = outcome->hive.substr(0, outcome->hive.rfind('/') + 1) + system.kept;
    for (const OfflineChange &c : OfflineChanges(kOfflineSystem))
        outcome->changes.push_back(InstallationChange{c.key, c.value, c.existed, c.data});
    // The log as it stands now, by the name the run gave it (an old log of
    // another spelling was deleted at the start), in a folder named as the
    // system resolves it.
    int dirfd = -1;
    char leaf[256], folder[PATH_MAX];
    struct stat st;
    if (!g_options.check && g_log[0] != '\0' && HostOpenParent(g_log, &dirfd, leaf, sizeof leaf)) {
        if (fstatat(dirfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            FolderPath(dirfd, folder, sizeof folder))
            outcome->log = std::string(folder) + "/" + leaf;
        close(dirfd);
    }
}

// The mounted installation: a path names its Windows folder or the root of
// its system drive; the Windows folder becomes "C:\<its name>" for the wizard,
// and its hives are loaded from system32\config.
#include "platform/installation.h"

#include "platform/emulated/codepage.h"
#include "platform/offline/hivex_store.h"
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
// not know leaves Windows-1252, with a warning into note.
void SelectInstallationCodePage(char *note, size_t size)
{
    note[0] = '\0';
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
    snprintf(note, size,
             "tessaril: warning: the installation's ANSI code page (Control\\Nls\\CodePage, ACP "
             "\"%s\") is not one this system can convert, so its names and texts are read as "
             "Windows-1252; characters outside it come out as \"?\".",
             text);
}

InstallationOptions g_options;
char g_host[PATH_MAX];            // the Windows folder
char g_hive[PATH_MAX + 64];       // its SYSTEM hive
char g_log[PATH_MAX + 300];        // where the log goes

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

// Appends a line to a message for the user.
void AddLine(char *message, size_t size, const char *line)
{
    size_t used = strlen(message);
    if (line[0] != '\0' && used + 1 < size)
        snprintf(message + used, size - used, "%s%s", used ? "\n" : "", line);
}

} // namespace

void SetInstallationOptions(const InstallationOptions &options)
{
    g_options = options;
    OfflineStoreOptions(options.check, options.backup);
    OfflineQuietBoxes(options.quiet || options.check);
    HostFilesWriteNothing(options.check);
}

bool OpenInstallation(const char *path, char *message, size_t size)
{
    message[0] = '\0';
    g_host[0] = g_hive[0] = g_log[0] = '\0';
    if (path == NULL || path[0] == '\0') {
        snprintf(message, size,
                 "tessaril: no installation named: give the Windows folder of the mounted "
                 "installation or the root of its system drive, for example /mnt/xp/WINDOWS or "
                 "/mnt/xp.");
        return false;
    }
    char host[PATH_MAX];
    if (!FindWindowsFolder(path, host, sizeof host, message, size))
        return false;
    const char *base = strrchr(host, '/');
    base = base ? base + 1 : host;
    char windows[260];
    if (base[0] == '\0' || strchr(base, '\\') != NULL || strlen(base) > 200) {
        snprintf(message, size, "tessaril: %s cannot be a Windows folder.", host);
        return false;
    }
    snprintf(windows, sizeof windows, "C:\\%s", base);
    if (!HostFilesSetRoot(windows, host)) {
        snprintf(message, size, "tessaril: %s is too long.", host);
        return false;
    }
    // What was chosen on a drive root is said first; notes and warnings
    // follow it.
    char winPath[300];
    char shown[PATH_MAX + 64];
    char detail[PATH_MAX + 512];
    snprintf(winPath, sizeof winPath, "%s\\system32\\config\\system", windows);
    snprintf(shown, sizeof shown, "%s/system32/config/system", host);
    OfflineLoadResult r = OfflineLoadHive(kOfflineSystem, winPath, shown, detail, sizeof detail);
    switch (r) {
    case kLoadOk:
        if (detail[0] != '\0') {
            char note[sizeof detail + 32];
            snprintf(note, sizeof note, "tessaril: note: %s.", detail);
            AddLine(message, size, note);
        }
        if (const char *why = OfflineHiveReadOnly(kOfflineSystem)) {
            if (!g_options.check) {
                OfflineUnloadAll();
                snprintf(message, size, "tessaril: %s cannot be changed: %s. Nothing was changed.",
                         shown, why);
                return false;
            }
            char note[sizeof shown + 512];
            snprintf(note, sizeof note, "tessaril: note: %s cannot be changed: %s.", shown, why);
            AddLine(message, size, note);
        }
        break;
    case kLoadMissing:
        snprintf(message, size,
                 "tessaril: %s holds no system32/config/system hive, so it is not the Windows "
                 "folder of a Windows 2000 or XP installation.",
                 host);
        return false;
    case kLoadInUse:
        snprintf(message, size,
                 "tessaril: the installation at %s is in use: another tessaril run holds its "
                 "SYSTEM hive. Try again when that run has ended. Nothing was changed.",
                 host);
        return false;
    case kLoadNotClean: {
        char logs[600];
        FindHiveLogs(winPath, logs, sizeof logs);
        if (logs[0] != '\0')
            snprintf(message, size,
                     "tessaril: Windows did not shut down cleanly, so the SYSTEM hive %s lacks its "
                     "latest changes (they are in %s beside it), and a repair now would lose them. "
                     "Start that Windows once and shut it down normally, or replay the hive's log "
                     "into it with a tool made for that, then run tessaril again. Nothing was "
                     "changed.",
                     shown, logs);
        else
            snprintf(message, size,
                     "tessaril: Windows did not shut down cleanly, so the SYSTEM hive %s may lack "
                     "its latest changes, and no log file that holds them is beside it. Start that "
                     "Windows once and shut it down normally, then run tessaril again. Nothing was "
                     "changed.",
                     shown);
        return false;
    }
    case kLoadCorrupt:
    case kLoadTooLarge:
        snprintf(message, size,
                 "tessaril: the SYSTEM hive cannot be used: %s. Restore the hive from a backup or "
                 "let Windows repair it, then run tessaril again. Nothing was changed.",
                 detail);
        return false;
    case kLoadNoControlSet:
        snprintf(message, size,
                 "tessaril: the SYSTEM hive cannot be used: %s. Windows could not start from it "
                 "either: restore the hive from a backup, then run tessaril again. Nothing was "
                 "changed.",
                 detail);
        return false;
    case kLoadLink:
        snprintf(message, size,
                 "tessaril: the SYSTEM hive cannot be used: %s. Mount the installation so that "
                 "its own folders and files are no links, then run tessaril again. Nothing was "
                 "changed.",
                 detail);
        return false;
    default:
        snprintf(message, size,
                 "tessaril: the SYSTEM hive cannot be used: %s. Mend that, then run tessaril "
                 "again. Nothing was changed.",
                 detail);
        return false;
    }
    char codePageNote[400];
    SelectInstallationCodePage(codePageNote, sizeof codePageNote);
    AddLine(message, size, codePageNote);

    snprintf(winPath, sizeof winPath, "%s\\system32\\config\\software", windows);
    snprintf(shown, sizeof shown, "%s/system32/config/software", host);
    r = OfflineLoadHive(kOfflineSoftware, winPath, shown, detail, sizeof detail);
    if (r == kLoadInUse) {
        OfflineUnloadAll();
        snprintf(message, size,
                 "tessaril: the installation at %s is in use: another process holds its SOFTWARE "
                 "hive. Nothing was changed.",
                 host);
        return false;
    }
    if (r != kLoadOk) {
        char warning[sizeof detail + 128];
        snprintf(warning, sizeof warning,
                 "tessaril: warning: the SOFTWARE hive cannot be read (%s), so the Windows "
                 "version is unknown.",
                 detail);
        AddLine(message, size, warning);
    }
    // The log goes to Temp; a Temp that is a link is not followed, and one
    // that is missing is not made, so the run keeps no log. Say so, as
    // nothing else would.
    int dirfd = -1;
    char leaf[256];
    snprintf(winPath, sizeof winPath, "%s\\Temp\\Tessaril.log", windows);
    if (HostOpenParent(winPath, &dirfd, leaf, sizeof leaf)) {
        char folder[PATH_MAX];
        if (FolderPath(dirfd, folder, sizeof folder))
            snprintf(g_log, sizeof g_log, "%s/%s", folder, leaf);
        close(dirfd);
    } else if (!g_options.check) {
        char warning[sizeof shown + 128];
        snprintf(warning, sizeof warning,
                 errno == ELOOP ? "tessaril: warning: %s/Temp is a symbolic link, which tessaril "
                                  "does not follow, so this run keeps no log."
                                : "tessaril: warning: %s has no Temp folder, so this run keeps no "
                                  "log.",
                 host);
        AddLine(message, size, warning);
    }
    snprintf(g_host, sizeof g_host, "%s", host);
    snprintf(g_hive, sizeof g_hive, "%s/system32/config/system", host);
    return true;
}

bool CloseInstallation(char *message, size_t size, bool *unsaved)
{
    message[0] = '\0';
    char detail[1536];
    bool ok = OfflineCommitAll(detail, sizeof detail);
    if (!ok) {
        snprintf(message, size,
                 "tessaril: %s. None of this run's changes were saved (the log lists them as "
                 "made); mend the cause and run tessaril again.",
                 detail);
    } else if (detail[0] != '\0') {
        snprintf(message, size, "tessaril: warning: %s.", detail);
    }
    if (unsaved != NULL)
        *unsaved = !ok && OfflineHiveUnsaved(kOfflineSystem);
    OfflineUnloadAll();
    return ok;
}

void GetInstallationOutcome(InstallationOutcome *outcome)
{
    *outcome = InstallationOutcome();
    snprintf(outcome->windows, sizeof outcome->windows, "%s", g_host);
    snprintf(outcome->hive, sizeof outcome->hive, "%s", g_hive);
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
    if (system.kept[0] != '\0') {
        const char *slash = strrchr(g_hive, '/');
        snprintf(outcome->kept, sizeof outcome->kept, "%.*s/%s", slash ? (int)(slash - g_hive) : 0,
                 g_hive, system.kept);
    }
    for (const OfflineChange &c : OfflineChanges(kOfflineSystem))
        outcome->changes.push_back(InstallationChange{c.key, c.value, c.existed, c.data});
    struct stat st;
    if (!g_options.check && g_log[0] != '\0' && lstat(g_log, &st) == 0 && S_ISREG(st.st_mode))
        snprintf(outcome->log, sizeof outcome->log, "%s", g_log);
}

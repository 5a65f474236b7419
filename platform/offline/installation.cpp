// The mounted installation: a path names its Windows folder or the root of
// its system drive; the Windows folder becomes "C:\<its name>" for the wizard,
// and its hives are loaded from system32\config.
#include "platform/installation.h"

#include "platform/offline/hivex_store.h"
#include "platform/offline/windows_folder.h"
#include "platform/posix/host_files.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

bool OpenInstallation(const char *path, char *message, size_t size)
{
    message[0] = '\0';
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
    // What was chosen on a drive root is said first; warnings follow it.
    size_t said = strlen(message);

    char winPath[300];
    char shown[PATH_MAX + 64];
    char detail[PATH_MAX + 512];
    snprintf(winPath, sizeof winPath, "%s\\system32\\config\\system", windows);
    snprintf(shown, sizeof shown, "%s/system32/config/system", host);
    OfflineLoadResult r = OfflineLoadHive(kOfflineSystem, winPath, shown, detail, sizeof detail);
    switch (r) {
    case kLoadOk:
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
    case kLoadNotClean:
        snprintf(message, size,
                 "tessaril: the SYSTEM hive cannot be repaired offline: %s. Start that Windows "
                 "once and shut it down cleanly, then run tessaril again. Nothing was changed.",
                 detail);
        return false;
    default:
        snprintf(message, size, "tessaril: the SYSTEM hive cannot be used: %s. Nothing was changed.",
                 detail);
        return false;
    }

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
    if (r != kLoadOk && said + 1 < size) {
        snprintf(message + said, size - said,
                 "%stessaril: warning: the SOFTWARE hive cannot be read (%s), so the Windows "
                 "version is unknown.",
                 said ? "\n" : "", detail);
        said = strlen(message);
    }
    // The log goes to Temp; a Temp that is a link is not followed, so the run
    // keeps no log. Say so, as nothing else would.
    int dirfd = -1;
    char leaf[256];
    snprintf(winPath, sizeof winPath, "%s\\Temp\\Tessaril.log", windows);
    if (HostOpenParent(winPath, &dirfd, leaf, sizeof leaf))
        close(dirfd);
    else if (errno == ELOOP && said + 1 < size)
        snprintf(message + said, size - said,
                 "%stessaril: warning: %s/Temp is a symbolic link, which tessaril does not "
                 "follow, so this run keeps no log.",
                 said ? "\n" : "", host);
    return true;
}

bool CloseInstallation(char *message, size_t size)
{
    message[0] = '\0';
    char detail[1536];
    bool ok = OfflineCommitAll(detail, sizeof detail);
    if (!ok)
        snprintf(message, size, "tessaril: %s.", detail);
    else if (detail[0] != '\0')
        snprintf(message, size, "tessaril: warning: %s.", detail);
    OfflineUnloadAll();
    return ok;
}

// The mounted installation: TESSARIL_SYSTEMROOT names its Windows directory,
// which becomes "C:\<its name>" for the wizard; its hives are loaded from
// system32\config.
#include "platform/installation.h"

#include "platform/offline/hivex_store.h"
#include "platform/posix/host_files.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kHowToName[] =
    "Set TESSARIL_SYSTEMROOT to the Windows directory of the mounted installation, for example "
    "TESSARIL_SYSTEMROOT=/mnt/xp/WINDOWS or TESSARIL_SYSTEMROOT=/mnt/w2k/WINNT.";

} // namespace

bool OpenInstallation(char *message, size_t size)
{
    message[0] = '\0';
    const char *root = getenv("TESSARIL_SYSTEMROOT");
    if (root == NULL || root[0] == '\0') {
        snprintf(message, size, "tessaril: TESSARIL_SYSTEMROOT is not set. %s", kHowToName);
        return false;
    }
    char host[PATH_MAX];
    struct stat st;
    if (realpath(root, host) == NULL || stat(host, &st) != 0 || !S_ISDIR(st.st_mode)) {
        snprintf(message, size, "tessaril: TESSARIL_SYSTEMROOT=%s is not a directory. %s", root,
                 kHowToName);
        return false;
    }
    const char *base = strrchr(host, '/');
    base = base ? base + 1 : host;
    char windows[260];
    if (base[0] == '\0' || strchr(base, '\\') != NULL || strlen(base) > 200) {
        snprintf(message, size,
                 "tessaril: TESSARIL_SYSTEMROOT=%s cannot be a Windows directory. %s", root,
                 kHowToName);
        return false;
    }
    snprintf(windows, sizeof windows, "C:\\%s", base);
    if (!HostFilesSetRoot(windows, host)) {
        snprintf(message, size, "tessaril: TESSARIL_SYSTEMROOT=%s is too long.", root);
        return false;
    }

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
                 "directory of a Windows 2000 or XP installation. %s",
                 host, kHowToName);
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
    size_t said = 0;
    if (r != kLoadOk) {
        snprintf(message, size,
                 "tessaril: warning: the SOFTWARE hive cannot be read (%s), so the Windows "
                 "version is unknown.",
                 detail);
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
    OfflineUnloadAll();
    return ok;
}

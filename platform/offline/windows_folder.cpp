// Finding the Windows folder of a mounted installation from the folder itself
// or from the root of its system drive (with boot.ini's default to choose).
#include "platform/offline/windows_folder.h"

#include "platform/base.h"
#include "platform/posix/host_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// boot.ini is a few hundred bytes; a longer one is read this far.
const size_t kMaxBootIni = 65536;

// True when the host folder holds the entry below it that a Windows path
// ("system32\config\system") names: of any kind when anyKind, else a regular
// file. Names match without regard to case; no link on the way is followed.
bool Holds(const char *host, const char *path, bool anyKind)
{
    int dirfd = -1;
    char leaf[256];
    bool found = false;
    if (HostOpenParentIn(host, path, &dirfd, leaf, sizeof leaf)) {
        struct stat st;
        found = fstatat(dirfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                (anyKind || S_ISREG(st.st_mode));
        close(dirfd);
    }
    return found;
}

// The folder name at the end of boot.ini's "default=" line, for example
// "WINDOWS" from "default=multi(0)disk(0)rdisk(0)partition(1)\WINDOWS";
// empty when the drive has no boot.ini or it names none.
void BootIniDefault(const char *root, char *name, size_t size)
{
    name[0] = '\0';
    int dirfd = -1;
    char leaf[256];
    if (!HostOpenParentIn(root, "boot.ini", &dirfd, leaf, sizeof leaf))
        return;
    int fd = openat(dirfd, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    close(dirfd);
    if (fd < 0)
        return;
    std::vector<char> buffer(kMaxBootIni + 1);
    char *text = buffer.data();
    size_t length = 0;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ssize_t n;
        while (length < kMaxBootIni &&
               (n = read(fd, text + length, kMaxBootIni - length)) > 0)
            length += (size_t)n;
    }
    close(fd);
    text[length] = '\0';

    char value[512];
    if (BootIniDefaultPath(text, value, sizeof value)) {
        const char *folder = strrchr(value, '\\');
        folder = folder ? folder + 1 : value;
        size_t n = strnlen(folder, size - 1);
        memcpy(name, folder, n);
        name[n] = '\0';
    }
}

} // namespace

bool BootIniDefaultPath(char *text, char *out, size_t size)
{
    for (char *line = text; line != NULL && *line != '\0';) {
        char *end = strchr(line, '\n');
        if (end != NULL)
            *end = '\0';
        char *next = end ? end + 1 : NULL;
        while (*line == ' ' || *line == '\t')
            line++;
        if (strncasecmp(line, "default", 7) == 0) {
            char *value = line + 7;
            while (*value == ' ' || *value == '\t')
                value++;
            if (*value == '=') {
                value++;
                size_t n = strlen(value);
                while (n > 0 && strchr(" \t\r\"", value[n - 1]) != NULL)
                    value[--n] = '\0';
                snprintf(out, size, "%s", value);
                return true;
            }
        }
        line = next;
    }
    return false;
}

bool FindWindowsFolder(const char *path, WindowsFolderReport *report)
{
    WindowsFolderReport &r = *report;
    r = WindowsFolderReport();
    r.path = path;
    char *host = r.host;
    struct stat st;
    if (realpath(path, host) == NULL || stat(host, &st) != 0) {
        r.finding = kFolderNotThere;
        r.error = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode) || access(host, R_OK | X_OK) != 0) {
        r.finding = kFolderNotThere;
        r.error = !S_ISDIR(st.st_mode) ? ENOTDIR : EACCES;
        return false;
    }
    // A folder with a system32 is taken for the Windows folder, so that what
    // is wrong below it is reported as such when its hives are loaded.
    if (Holds(host, "system32", true)) {
        snprintf(r.folder, sizeof r.folder, "%s", host);
        return strlen(host) < sizeof r.folder;
    }

    // A drive root: its top-level folders that hold a SYSTEM hive, in byte
    // order so that the choice and the report do not hang on the disk.
    auto &names = r.names;
    int &count = r.count;
    DIR *dir = opendir(host);
    for (struct dirent *e = dir ? readdir(dir) : NULL; e != NULL; e = readdir(dir)) {
        const char *n = e->d_name;
        if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0 || strlen(n) > kMaxFolderName ||
            strchr(n, '\\') != NULL)
            continue;
        char candidate[PATH_MAX];
        if ((size_t)snprintf(candidate, sizeof candidate, "%s/%s", strcmp(host, "/") ? host : "",
                             n) >= sizeof candidate)
            continue;
        if (lstat(candidate, &st) != 0 || !S_ISDIR(st.st_mode) ||
            !Holds(candidate, "system32\\config\\system", false))
            continue;
        int at = count < kMaxListedFolders ? count : kMaxListedFolders - 1;
        if (count >= kMaxListedFolders && strcmp(n, names[at]) > 0) {
            count++;
            continue;
        }
        while (at > 0 && strcmp(n, names[at - 1]) < 0) {
            memcpy(names[at], names[at - 1], sizeof names[at]);
            at--;
        }
        memcpy(names[at], n, strlen(n) + 1); // at most kMaxFolderName, checked above
        count++;
    }
    if (dir != NULL)
        closedir(dir);
    const char *base = strcmp(host, "/") ? host : "";

    if (count == 0) {
        r.finding = kFolderNone;
        return false;
    }
    int chosen = -1;
    if (count == 1) {
        chosen = 0;
    } else {
        BootIniDefault(host, r.named, sizeof r.named);
        for (int i = 0; i < count && i < kMaxListedFolders && r.named[0] != '\0'; i++)
            if (lstrcmpiA(names[i], r.named) == 0)
                chosen = i;
    }
    if (chosen < 0) {
        r.finding = kFolderSeveral;
        return false;
    }
    r.finding = count == 1 ? kFolderTheOne : kFolderByBootIni;
    int n = snprintf(r.folder, sizeof r.folder, "%s/%s", base, names[chosen]);
    return n >= 0 && (size_t)n < sizeof r.folder;
}

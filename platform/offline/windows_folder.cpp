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

// A Windows folder is named by one component the wizard can put after "C:\".
const size_t kMaxFolderName = 200;
// The installations named in a message; more are counted, not named.
const int kMaxListed = 16;
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
                const char *folder = strrchr(value, '\\');
                folder = folder ? folder + 1 : value;
                snprintf(name, size, "%s", folder);
                return;
            }
        }
        line = next;
    }
}

} // namespace

bool FindWindowsFolder(const char *path, char *folder, size_t folderSize, char *note,
                       size_t noteSize)
{
    note[0] = '\0';
    char host[PATH_MAX];
    struct stat st;
    if (realpath(path, host) == NULL || stat(host, &st) != 0) {
        snprintf(note, noteSize,
                 errno == ENOENT  ? "tessaril: %s does not exist."
                 : errno == EACCES ? "tessaril: %s may not be entered (permission denied)."
                 : errno == ENOTDIR ? "tessaril: %s is not a folder."
                                    : "tessaril: %s cannot be looked at.",
                 path);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        snprintf(note, noteSize, "tessaril: %s is not a folder.", path);
        return false;
    }
    if (access(host, R_OK | X_OK) != 0) {
        snprintf(note, noteSize, "tessaril: %s may not be entered (permission denied).", path);
        return false;
    }
    // A folder with a system32 is taken for the Windows folder, so that what
    // is wrong below it is reported as such when its hives are loaded.
    if (Holds(host, "system32", true)) {
        snprintf(folder, folderSize, "%s", host);
        return strlen(host) < folderSize;
    }

    // A drive root: its top-level folders that hold a SYSTEM hive, in byte
    // order so that the choice and the message do not hang on the disk.
    char names[kMaxListed][kMaxFolderName + 1];
    int count = 0;
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
        int at = count < kMaxListed ? count : kMaxListed - 1;
        if (count >= kMaxListed && strcmp(n, names[at]) > 0) {
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
        snprintf(note, noteSize,
                 "tessaril: %s holds no system32/config/system hive, nor does any folder at its "
                 "top level, so it is neither the Windows folder of a Windows 2000 or XP "
                 "installation nor the root of its system drive.",
                 host);
        return false;
    }
    int chosen = -1;
    char named[256] = "";
    if (count == 1) {
        chosen = 0;
    } else {
        BootIniDefault(host, named, sizeof named);
        for (int i = 0; i < count && i < kMaxListed && named[0] != '\0'; i++)
            if (lstrcmpiA(names[i], named) == 0)
                chosen = i;
    }
    if (chosen >= 0) {
        snprintf(folder, folderSize, "%s/%s", base, names[chosen]);
        if (count == 1)
            snprintf(note, noteSize, "tessaril: repairing the installation in %s.", folder);
        else
            snprintf(note, noteSize,
                     "tessaril: %s holds %d Windows folders; boot.ini's default names %s: "
                     "repairing the installation in %s.",
                     host, count, named, folder);
        return strlen(base) + 1 + strlen(names[chosen]) < folderSize;
    }

    size_t at = (size_t)snprintf(note, noteSize, "tessaril: %s holds %d Windows folders:", host,
                                 count);
    for (int i = 0; i < count && i < kMaxListed && at < noteSize; i++)
        at += (size_t)snprintf(note + at, noteSize - at, "%s %s/%s", i ? "," : "", base, names[i]);
    if (count > kMaxListed && at < noteSize)
        at += (size_t)snprintf(note + at, noteSize - at, " and %d more", count - kMaxListed);
    if (at < noteSize) {
        if (named[0] != '\0')
            at += (size_t)snprintf(note + at, noteSize - at,
                                   " (boot.ini's default names %s, which is none of them).",
                                   named);
        else
            at += (size_t)snprintf(note + at, noteSize - at,
                                   " (no boot.ini default names one of them).");
    }
    if (at < noteSize)
        snprintf(note + at, noteSize - at,
                 " Name the one to repair, for example: tessaril %s/%s. Nothing was changed.",
                 base, names[0]);
    return false;
}

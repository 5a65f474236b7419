// Windows paths onto a host folder, and the file calls on it.
#include "platform/posix/host_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

bool g_writeNothing = false;
char g_windowsDirectory[MAX_PATH];
char g_hostDirectory[4096];

// Open files, by slot; a HANDLE is the slot number plus a bias, so that it is
// never NULL nor INVALID_HANDLE_VALUE.
const int kMaxFiles = 32;
const intptr_t kHandleBias = 0x4000;
int g_fds[kMaxFiles] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

int SlotOf(HANDLE file)
{
    intptr_t slot = (intptr_t)file - kHandleBias;
    if (slot < 0 || slot >= kMaxFiles || g_fds[slot] < 0)
        return -1;
    return (int)slot;
}

// Finds the entry of dirfd whose name equals name without regard to case,
// the exact spelling first. Copies the name found into found.
bool MatchEntry(int dirfd, const char *name, char *found, size_t size)
{
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (strlen(name) >= size)
            return false;
        strcpy(found, name);
        return true;
    }
    int fd = dup(dirfd);
    if (fd < 0)
        return false;
    DIR *dir = fdopendir(fd);
    if (dir == NULL) {
        close(fd);
        return false;
    }
    rewinddir(dir);
    bool ok = false;
    found[0] = '\0';
    for (struct dirent *e = readdir(dir); e != NULL; e = readdir(dir)) {
        if (lstrcmpiA(e->d_name, name) != 0 || strlen(e->d_name) >= size)
            continue;
        // Several spellings of one name: take the first in byte order, so the
        // choice does not hang on the directory's order.
        if (!ok || strcmp(e->d_name, found) < 0)
            strcpy(found, e->d_name);
        ok = true;
    }
    closedir(dir);
    return ok;
}

} // namespace

const char *HostPathBelow(const char *windowsDirectory, const char *path)
{
    size_t n = strlen(windowsDirectory);
    if (path == NULL || n == 0 || strlen(path) < n)
        return NULL;
    for (size_t i = 0; i < n; i++) {
        if (path[i] == windowsDirectory[i])
            continue;
        char a[2] = {path[i], 0};
        char b[2] = {windowsDirectory[i], 0};
        if (lstrcmpiA(a, b) != 0)
            return NULL;
    }
    if (path[n] == '\0')
        return path + n;
    if (path[n] != '\\')
        return NULL;
    return path + n + 1;
}

bool HostPathComponentValid(const char *c, size_t n)
{
    if (n == 0 || n > 255)
        return false;
    if ((n == 1 && c[0] == '.') || (n == 2 && c[0] == '.' && c[1] == '.'))
        return false;
    return memchr(c, '/', n) == NULL && memchr(c, ':', n) == NULL;
}

bool HostFilesSetRoot(const char *windowsDirectory, const char *hostDirectory)
{
    if (strlen(windowsDirectory) >= sizeof g_windowsDirectory ||
        strlen(hostDirectory) >= sizeof g_hostDirectory)
        return false;
    strcpy(g_windowsDirectory, windowsDirectory);
    strcpy(g_hostDirectory, hostDirectory);
    return true;
}

const char *HostFilesWindowsDirectory(void) { return g_windowsDirectory; }

bool HostOpenParent(const char *windowsPath, int *dirfdOut, char *leaf, size_t leafSize,
                    std::string *found)
{
    const char *rel = HostPathBelow(g_windowsDirectory, windowsPath);
    errno = ENOENT;
    if (rel == NULL)
        return false;
    if (found != NULL)
        *found = g_hostDirectory;
    return HostOpenParentIn(g_hostDirectory, rel, dirfdOut, leaf, leafSize, found);
}

bool HostOpenParentIn(const char *hostDirectory, const char *rel, int *dirfdOut, char *leaf,
                      size_t leafSize, std::string *foundPath)
{
    errno = ENOENT;
    if (hostDirectory[0] == '\0')
        return false;
    int dirfd = open(hostDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        return false;
    const char *p = rel;
    for (;;) {
        while (*p == '\\')
            p++;
        const char *end = strchr(p, '\\');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        char name[256];
        if (!HostPathComponentValid(p, n)) {
            close(dirfd);
            errno = ENOENT;
            return false;
        }
        memcpy(name, p, n);
        name[n] = '\0';
        const char *rest = end;
        while (rest && *rest == '\\')
            rest++;
        if (rest == NULL || *rest == '\0') {
            // The last component: the caller opens, creates or deletes it.
            char found[256];
            const char *use = MatchEntry(dirfd, name, found, sizeof found) ? found : name;
            if (strlen(use) >= leafSize) {
                close(dirfd);
                return false;
            }
            strcpy(leaf, use);
            if (foundPath != NULL)
                foundPath->append("/").append(use);
            *dirfdOut = dirfd;
            return true;
        }
        char found[256];
        if (!MatchEntry(dirfd, name, found, sizeof found)) {
            close(dirfd);
            errno = ENOENT;
            return false;
        }
        if (foundPath != NULL)
            foundPath->append("/").append(found);
        int next = openat(dirfd, found, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int e = errno;
        struct stat st;
        if (next < 0 && fstatat(dirfd, found, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            e = ELOOP;
        close(dirfd);
        if (next < 0) {
            errno = e;
            return false;
        }
        dirfd = next;
        p = rest;
    }
}

HANDLE HostCreateFile(LPCSTR path, DWORD access, DWORD disposition)
{
    int slot = 0;
    while (slot < kMaxFiles && g_fds[slot] >= 0)
        slot++;
    if (slot == kMaxFiles)
        return INVALID_HANDLE_VALUE;

    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    if (access & (GENERIC_WRITE | FILE_APPEND_DATA)) {
        flags |= (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
        if (access & FILE_APPEND_DATA)
            flags |= O_APPEND;
    } else if (access & GENERIC_READ) {
        flags |= O_RDONLY;
    } else {
        return INVALID_HANDLE_VALUE;
    }
    switch (disposition) {
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    default: return INVALID_HANDLE_VALUE;
    }

    int dirfd;
    char leaf[256];
    if (!HostOpenParent(path, &dirfd, leaf, sizeof leaf))
        return INVALID_HANDLE_VALUE;
    bool writes = (access & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
    int fd;
    struct stat st;
    if (g_writeNothing && writes) {
        // What the file would be: an existing one must be a regular file.
        bool there = fstatat(dirfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
        fd = (there && !S_ISREG(st.st_mode)) || (!there && !(flags & O_CREAT))
                 ? -1
                 : open("/dev/null", O_WRONLY | O_CLOEXEC);
        close(dirfd);
        if (fd < 0)
            return INVALID_HANDLE_VALUE;
        g_fds[slot] = fd;
        return (HANDLE)(slot + kHandleBias);
    }
    fd = openat(dirfd, leaf, flags, 0644);
    close(dirfd);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // Only a regular file: a device or a pipe could block or be read forever.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    g_fds[slot] = fd;
    return (HANDLE)(slot + kHandleBias);
}

BOOL HostWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written)
{
    int slot = SlotOf(file);
    if (written)
        *written = 0;
    if (slot < 0)
        return FALSE;
    const char *p = (const char *)data;
    DWORD done = 0;
    while (done < size) {
        ssize_t n = write(g_fds[slot], p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (DWORD)n;
    }
    if (written)
        *written = done;
    return done == size;
}

BOOL HostCloseFile(HANDLE file)
{
    int slot = SlotOf(file);
    if (slot < 0)
        return FALSE;
    close(g_fds[slot]);
    g_fds[slot] = -1;
    return TRUE;
}

BOOL HostDeleteFile(LPCSTR path)
{
    int dirfd;
    char leaf[256];
    if (!HostOpenParent(path, &dirfd, leaf, sizeof leaf))
        return FALSE;
    struct stat st;
    bool ok = fstatat(dirfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
              (g_writeNothing || unlinkat(dirfd, leaf, 0) == 0);
    close(dirfd);
    return ok;
}

void HostFilesWriteNothing(bool on) { g_writeNothing = on; }

int HostOpenFileCount(void)
{
    int n = 0;
    for (int i = 0; i < kMaxFiles; i++)
        if (g_fds[i] >= 0)
            n++;
    return n;
}

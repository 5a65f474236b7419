// The hive file's load: lock, checks, load through hivex, leftovers; and its
// release. The crash-safe commit is in hive_save.cpp.
#include "platform/offline/hive_file.h"

#include "platform/offline/regf_format.h"
#include "platform/posix/host_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

namespace {

// Ends a failed load: the file released, the result and the problem told.
HiveLoadProblem Refuse(HiveFile &hive, HiveLoadReport *report, HiveLoadProblem problem)
{
    HiveFileRelease(&hive);
    report->problem = problem;
    return problem;
}

// Opens the hive file named leaf in dirfd and takes its lock. The file could
// be replaced between the open and the lock; then the lock is taken again on
// the file now there.
HiveLoadProblem LockHiveFile(HiveFile &hive, int *fdOut)
{
    for (int attempt = 0; attempt < 8; attempt++) {
        int fd = openat(hive.dirfd, hive.leaf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            int e = errno;
            struct stat link;
            if (fstatat(hive.dirfd, hive.leaf, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
                return kHiveFileLink;
            errno = e;
            return e == ENOENT ? kHiveMissing : kHiveCannotOpen;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return kHiveNotRegular;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            close(fd);
            return e == EWOULDBLOCK ? kHiveLocked : kHiveCannotOpen;
        }
        struct stat now;
        if (fstatat(hive.dirfd, hive.leaf, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
            hive.st = st;
            *fdOut = fd;
            return kHiveLoaded;
        }
        close(fd);
    }
    return kHiveLocked;
}

// Why the hive may not be written; kHiveWritable when it may.
HiveReadOnly WhyReadOnly(HiveFile &hive)
{
    struct statvfs vfs;
    if (fstatvfs(hive.dirfd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
        return kHiveReadOnlyMount;
    if ((hive.st.st_mode & 0222) == 0)
        return kHiveFileReadOnly;
    if (faccessat(hive.dirfd, hive.leaf, W_OK, AT_EACCESS) != 0)
        return kHiveFileNotWritable;
    if (faccessat(hive.dirfd, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return kHiveFolderNotWritable;
    return kHiveWritable;
}

// New hive files that a killed run left beside the hive. Whoever holds the
// hive's lock is the only one that may be writing one, so the rest are
// leftovers.
void RemoveLeftovers(HiveFile &hive)
{
    int fd = dup(hive.dirfd);
    DIR *dir = fd >= 0 ? fdopendir(fd) : NULL;
    if (dir == NULL) {
        if (fd >= 0)
            close(fd);
        return;
    }
    // The copy shares its place in the folder with the descriptor, which
    // the search for the file's spelling may have read to the end.
    rewinddir(dir);
    char prefix[300];
    snprintf(prefix, sizeof prefix, "%s.tessaril-", hive.leaf);
    size_t n = strlen(prefix);
    for (struct dirent *e = readdir(dir); e != NULL; e = readdir(dir)) {
        struct stat st;
        if (strncmp(e->d_name, prefix, n) == 0 &&
            fstatat(hive.dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            unlinkat(hive.dirfd, e->d_name, 0);
    }
    closedir(dir);
}

} // namespace

HiveLoadProblem HiveFileLoad(HiveFile *file, const char *kind, const char *windowsPath,
                               const char *shownPath, off_t maxBytes, HiveLoadReport *report)
{
    bool inMemory = file->inMemory, backup = file->backup, checkWhole = file->checkWhole;
    HiveFileRelease(file);
    HiveFile &hive = *file;
    hive.inMemory = inMemory;
    hive.backup = backup;
    hive.checkWhole = checkWhole;
    *report = HiveLoadReport();
    report->kind = kind;
    report->shown = hive.shown = shownPath;
    std::string found;
    if (!HostOpenParent(windowsPath, &hive.dirfd, hive.leaf, sizeof hive.leaf, &found)) {
        hive.dirfd = -1;
        bool link = errno == ELOOP;
        return Refuse(hive, report, link ? kHiveFolderLink : kHiveMissing);
    }
    // From here on the file is named as its folders spell it on disk.
    report->shown = hive.shown = found;
    int fd = -1;
    HiveLoadProblem locked = LockHiveFile(hive, &fd);
    if (locked != kHiveLoaded) {
        report->error = errno;
        return Refuse(hive, report, locked);
    }
    hive.lockfd = fd;
    if (hive.st.st_size > maxBytes) {
        report->size = (long long)hive.st.st_size;
        report->maxBytes = (long long)maxBytes;
        return Refuse(hive, report, kHiveTooLarge);
    }

    unsigned char block[kRegfBaseBlockSize];
    RegfHeader header;
    ssize_t got = pread(fd, block, sizeof block, 0);
    switch (RegfCheckBaseBlock(block, got > 0 ? (size_t)got : 0, (uint64_t)hive.st.st_size, &header)) {
    case kRegfBaseOk:
        break;
    case kRegfBaseNotHive:
        return Refuse(hive, report, kHiveNotHive);
    case kRegfBaseNotClean:
        return Refuse(hive, report, kHiveNotClean);
    case kRegfBaseBadHeader:
        return Refuse(hive, report, kHiveBadHeader);
    case kRegfBaseBadSize:
        return Refuse(hive, report, kHiveBadSize);
    }
    // The whole hive, as Windows would judge it, before hivex reads a key.
    if (hive.checkWhole && !RegfCheckHive(fd, &report->damage)) {
        if (report->damage.damage == kRegfCheckUnreadable) {
            report->error = report->damage.error;
            return Refuse(hive, report, kHiveCannotOpen);
        }
        return Refuse(hive, report, kHiveDamaged);
    }
    hive.minor = header.minor;
    hive.readOnly = WhyReadOnly(hive);
    // Changes kept in memory may be made to any hive hivex can read.
    hive.writable = hive.readOnly == kHiveWritable || hive.inMemory;
    if (hive.readOnly == kHiveWritable && !hive.inMemory)
        RemoveLeftovers(hive);

    // hivex opens files by name: hand it the very file that was locked and
    // checked, through its descriptor.
    char through[64];
    snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
    if (access(through, R_OK) != 0)
        return Refuse(hive, report, kHiveNoProc);
    errno = 0;
    hive.h = hivex_open(through, hive.writable ? HIVEX_OPEN_WRITE : 0);
    if (hive.h == NULL)
        return Refuse(hive, report, kHiveRefused);
    return kHiveLoaded;
}

void HiveFileRelease(HiveFile *hive)
{
    if (hive->h)
        hivex_close(hive->h);
    if (hive->lockfd >= 0)
        close(hive->lockfd);
    if (hive->dirfd >= 0)
        close(hive->dirfd);
    *hive = HiveFile();
}

// The hive file's life: lock, checks, load through hivex, leftovers, the
// crash-safe commit, release.
#include "platform/offline/hive_file.h"

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_format.h"
#include "platform/offline/host_calls.h"
#include "platform/posix/host_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

namespace {

// Ends a failed load: the file released, the result and the problem told.
OfflineLoadResult Refuse(HiveFile &hive, HiveLoadReport *report, OfflineLoadResult result,
                         HiveLoadProblem problem)
{
    HiveFileRelease(&hive);
    report->result = result;
    report->problem = problem;
    return result;
}

// Opens the hive file named leaf in dirfd and takes its lock. The file could
// be replaced between the open and the lock; then the lock is taken again on
// the file now there.
OfflineLoadResult LockHiveFile(HiveFile &hive, int *fdOut)
{
    for (int attempt = 0; attempt < 8; attempt++) {
        int fd = openat(hive.dirfd, hive.leaf, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            int e = errno;
            struct stat link;
            if (fstatat(hive.dirfd, hive.leaf, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
                return kLoadLink;
            errno = e;
            return e == ENOENT ? kLoadMissing : kLoadFailed;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return kLoadCorrupt;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            close(fd);
            return e == EWOULDBLOCK ? kLoadInUse : kLoadFailed;
        }
        struct stat now;
        if (fstatat(hive.dirfd, hive.leaf, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
            hive.st = st;
            *fdOut = fd;
            return kLoadOk;
        }
        close(fd);
    }
    return kLoadInUse;
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

// Copies the locked hive into a new file named name in its folder, flushed.
bool CopyOldHive(HiveFile &hive, const char *name)
{
    int fd = g_hostCalls.openat(hive.dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                hive.st.st_mode & 0777);
    if (fd < 0)
        return false;
    char buffer[65536];
    bool ok = true;
    for (off_t at = 0; ok && at < hive.st.st_size;) {
        size_t n = (size_t)(hive.st.st_size - at < (off_t)sizeof buffer ? hive.st.st_size - at
                                                                         : (off_t)sizeof buffer);
        ok = ReadAllAt(hive.lockfd, buffer, n, at) && WriteAllAt(fd, buffer, n, at);
        at += (off_t)n;
    }
    ok = ok && g_hostCalls.fsync(fd) == 0;
    int e = errno;
    close(fd);
    if (!ok) {
        g_hostCalls.unlinkat(hive.dirfd, name, 0);
        errno = e;
    }
    return ok;
}

// Keeps the old hive beside the new one under a name that says when, never
// over a file that is there: a hard link costs no copy; a file system
// without them gets a copy.
bool KeepOldHive(HiveFile &hive)
{
    time_t now = time(NULL);
    struct tm utc;
    char stamp[32];
    if (gmtime_r(&now, &utc) == NULL || strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%SZ", &utc) == 0)
        return false;
    for (int attempt = 1; attempt < 100; attempt++) {
        char suffix[8] = "";
        if (attempt > 1)
            snprintf(suffix, sizeof suffix, "-%d", attempt);
        snprintf(hive.kept, sizeof hive.kept, "%s.before-tessaril-%s%s", hive.leaf, stamp, suffix);
        if (g_hostCalls.linkat(hive.dirfd, hive.leaf, hive.dirfd, hive.kept, 0) == 0)
            return true;
        if (errno == EEXIST)
            continue;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK && errno != EXDEV)
            break;
        if (CopyOldHive(hive, hive.kept))
            return true;
        if (errno != EEXIST)
            break;
    }
    hive.kept[0] = '\0';
    return false;
}

} // namespace

OfflineLoadResult HiveFileLoad(HiveFile *file, const char *kind, const char *windowsPath,
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
    snprintf(report->shown, sizeof report->shown, "%s", shownPath);
    snprintf(hive.shown, sizeof hive.shown, "%s", shownPath);
    if (!HostOpenParent(windowsPath, &hive.dirfd, hive.leaf, sizeof hive.leaf)) {
        hive.dirfd = -1;
        bool link = errno == ELOOP;
        return Refuse(hive, report, link ? kLoadLink : kLoadMissing, link ? kHiveFolderLink : kHiveMissing);
    }
    int fd = -1;
    OfflineLoadResult r = LockHiveFile(hive, &fd);
    if (r != kLoadOk) {
        report->error = errno;
        return Refuse(hive, report, r,
                      r == kLoadMissing    ? kHiveMissing
                      : r == kLoadInUse    ? kHiveLocked
                      : r == kLoadCorrupt  ? kHiveNotRegular
                      : r == kLoadLink     ? kHiveFileLink
                                           : kHiveCannotOpen);
    }
    hive.lockfd = fd;
    if (hive.st.st_size > maxBytes) {
        report->size = (long long)hive.st.st_size;
        report->maxBytes = (long long)maxBytes;
        return Refuse(hive, report, kLoadTooLarge, kHiveTooLarge);
    }

    unsigned char block[kRegfBaseBlockSize];
    RegfHeader header;
    ssize_t got = pread(fd, block, sizeof block, 0);
    if (got != (ssize_t)sizeof block || !ParseRegfHeader(block, sizeof block, &header))
        return Refuse(hive, report, kLoadCorrupt, kHiveNotHive);
    if (header.sequence1 != header.sequence2)
        return Refuse(hive, report, kLoadNotClean, kHiveNotClean);
    if (!header.checksumOk || header.major != 1)
        return Refuse(hive, report, kLoadCorrupt, kHiveBadHeader);
    // hivex takes the size of the bins from the header and would grow the
    // hive to it when a key is added: a size the file does not hold is
    // damage, refused here.
    if (header.binsSize == 0 || header.binsSize % kRegfBaseBlockSize != 0 ||
        (off_t)kRegfBaseBlockSize + (off_t)header.binsSize > hive.st.st_size ||
        header.rootCell >= header.binsSize)
        return Refuse(hive, report, kLoadCorrupt, kHiveBadSize);
    // The whole hive, as Windows would judge it, before hivex reads a key.
    if (hive.checkWhole && !RegfCheckHive(fd, &report->damage)) {
        if (report->damage.damage == kRegfUnreadable) {
            report->error = report->damage.error;
            return Refuse(hive, report, kLoadFailed, kHiveCannotOpen);
        }
        return Refuse(hive, report, kLoadCorrupt, kHiveDamaged);
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
        return Refuse(hive, report, kLoadFailed, kHiveNoProc);
    errno = 0;
    hive.h = hivex_open(through, hive.writable ? HIVEX_OPEN_WRITE : 0);
    if (hive.h == NULL)
        return Refuse(hive, report, kLoadCorrupt, kHiveRefused);
    return kLoadOk;
}

bool HiveFileCommit(HiveFile *file, HiveSaveReport *report)
{
    HiveFile &hive = *file;
    HiveSaveReport facts;
    snprintf(facts.shown, sizeof facts.shown, "%s", hive.shown);
    if (hive.inMemory)
        return true;
    char temp[300] = "";
    // The new hive is an unnamed file in the hive's folder, so that a run
    // killed while writing it leaves nothing behind; it gets a name only
    // when complete, just before it is renamed over the hive. Where the file
    // system has no unnamed files it is named from the start.
    bool named = false;
    int fd = g_hostCalls.openat(hive.dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        snprintf(temp, sizeof temp, "%s.tessaril-%ld-%d", hive.leaf, (long)getpid(), attempt);
        fd = g_hostCalls.openat(hive.dirfd, temp,
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        named = fd >= 0;
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        facts.failed = kSaveCreating;
        facts.error = errno;
        if (report != NULL)
            *report = facts;
        return false;
    }
    SaveStep failed = kSaveNoStep;
    int error = 0;
    char through[64];
    snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
    // Gives the finished unnamed file a name beside the hive.
    auto giveName = [&]() {
        for (int attempt = 0; attempt < 100; attempt++) {
            snprintf(temp, sizeof temp, "%s.tessaril-%ld-%d", hive.leaf, (long)getpid(), attempt);
            if (g_hostCalls.linkat(AT_FDCWD, through, hive.dirfd, temp, AT_SYMLINK_FOLLOW) == 0) {
                named = true;
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    };
    RegfHeader header;
    unsigned char block[kRegfBaseBlockSize];
    long finished = 0;
    if (g_hostCalls.hivexCommit(hive.h, through, 0) != 0) {
        failed = kSaveWriting;
        error = errno;
    } else if ((errno = 0, finished = FinishCommittedHive(fd, hive.finish)) < 0) {
        // errno stays 0 when the file read back is not the hive written.
        failed = kSaveFinishing;
        error = errno;
    } else if ((errno = 0, g_hostCalls.pread(fd, block, sizeof block, 0)) !=
                   (ssize_t)sizeof block ||
               !ParseRegfHeader(block, sizeof block, &header) || !header.checksumOk ||
               header.sequence1 != header.sequence2) {
        failed = kSaveChecking;
        error = errno;
    } else if ((hive.st.st_uid != geteuid() || hive.st.st_gid != getegid()) &&
               g_hostCalls.fchown(fd, hive.st.st_uid, hive.st.st_gid) != 0) {
        failed = kSaveOwner;
        error = errno;
    } else if (g_hostCalls.fchmod(fd, hive.st.st_mode & 07777) != 0) {
        failed = kSavePermissions;
        error = errno;
    } else if (g_hostCalls.fsync(fd) != 0) {
        failed = kSaveFlushing;
        error = errno;
    } else if (g_hostCalls.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failed = kSaveLocking;
        error = errno;
    } else if (!named && !giveName()) {
        failed = kSaveNaming;
        error = errno;
    } else if (hive.backup && !KeepOldHive(hive)) {
        failed = kSaveKeepingOld;
        error = errno;
    } else if (g_hostCalls.renameat(hive.dirfd, temp, hive.dirfd, hive.leaf) != 0) {
        failed = kSaveRenaming;
        error = errno;
    }
    if (failed != kSaveNoStep) {
        // The reason is the step that failed; a new file that cannot be
        // removed is told after it (the next run removes it).
        facts.failed = failed;
        facts.error = error;
        if (named && g_hostCalls.unlinkat(hive.dirfd, temp, 0) != 0) {
            snprintf(facts.left, sizeof facts.left, "%s", temp);
            facts.leftError = errno;
        }
        close(fd);
        facts.unknownLayout = finished == kRegfFinishUnknownLayout;
        if (report != NULL)
            *report = facts;
        return false;
    }
    // The new hive is in place and on disk; only its name may not be yet.
    // That is no failed save: the run goes on, and is told.
    hive.folderError = g_hostCalls.fsync(hive.dirfd) != 0 ? errno : 0;
    struct stat st;
    if (fstat(fd, &st) == 0)
        hive.st = st;
    close(hive.lockfd);
    hive.lockfd = fd;
    return true;
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

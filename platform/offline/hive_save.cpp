// The hive file's crash-safe commit: the new file written beside the hive,
// finished, checked, flushed and renamed over it, the old one kept when asked.
#include "platform/offline/hive_file.h"

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_format.h"
#include "platform/offline/host_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

namespace {

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
// over a file that is there, into kept: a hard link costs no copy; a file
// system without them gets a copy.
bool KeepOldHive(HiveFile &hive, char *kept, size_t size)
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
        snprintf(kept, size, "%s.before-tessaril-%s%s", hive.leaf, stamp, suffix);
        if (g_hostCalls.linkat(hive.dirfd, hive.leaf, hive.dirfd, kept, 0) == 0)
            return true;
        if (errno == EEXIST)
            continue;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK && errno != EXDEV)
            break;
        if (CopyOldHive(hive, kept))
            return true;
        if (errno != EEXIST)
            break;
    }
    int e = errno;
    kept[0] = '\0';
    errno = e;
    return false;
}

// One try of a save: the new file and what its steps have done to it.
struct Save {
    HiveFile &hive;
    HiveSaveReport &facts;
    int fd = -1;
    bool named = false;    // the new file has a name beside the hive: temp
    char temp[300] = "";
    char through[64] = ""; // the new file by its descriptor
    int error = 0;         // the system's error code of the step that failed
};

// Fails a step with the system's error code of the call that just failed.
bool Fail(Save &s)
{
    s.error = errno;
    return false;
}

// The new hive is an unnamed file in the hive's folder, so that a run
// killed while writing it leaves nothing behind; it gets a name only when
// complete, just before it is renamed over the hive. Where the file system
// has no unnamed files it is named from the start.
bool CreateNewFile(Save &s)
{
    s.fd = g_hostCalls.openat(s.hive.dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    for (int attempt = 0; attempt < 100 && s.fd < 0; attempt++) {
        snprintf(s.temp, sizeof s.temp, "%s.tessaril-%ld-%d", s.hive.leaf, (long)getpid(), attempt);
        s.fd = g_hostCalls.openat(s.hive.dirfd, s.temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (s.fd >= 0)
            s.named = true;
        else if (errno != EEXIST)
            break;
    }
    if (s.fd < 0)
        return Fail(s);
    snprintf(s.through, sizeof s.through, "/proc/self/fd/%d", s.fd);
    return true;
}

bool WriteNewFile(Save &s) { return g_hostCalls.hivexCommit(s.hive.h, s.through, 0) == 0 || Fail(s); }

bool FinishNewFile(Save &s)
{
    s.facts.content = FinishCommittedHive(s.fd, s.hive.finish, NULL, &s.error);
    return s.facts.content == kRegfOk;
}

// Reads back the base block the last pass wrote: a hive's, whole, closed.
bool CheckNewFile(Save &s)
{
    unsigned char block[kRegfBaseBlockSize];
    RegfHeader header;
    if (!ReadAllAt(s.fd, block, sizeof block, 0)) {
        s.facts.content = kRegfIoError;
        return Fail(s);
    }
    bool whole = ParseRegfHeader(block, sizeof block, &header) && header.checksumOk &&
                 header.sequence1 == header.sequence2;
    s.facts.content = whole ? kRegfOk : kRegfWrongKind;
    return whole;
}

bool GiveOwner(Save &s)
{
    const struct stat &st = s.hive.st;
    return (st.st_uid == geteuid() && st.st_gid == getegid()) ||
           g_hostCalls.fchown(s.fd, st.st_uid, st.st_gid) == 0 || Fail(s);
}

bool GivePermissions(Save &s) { return g_hostCalls.fchmod(s.fd, s.hive.st.st_mode & 07777) == 0 || Fail(s); }

bool FlushNewFile(Save &s) { return g_hostCalls.fsync(s.fd) == 0 || Fail(s); }

bool LockNewFile(Save &s) { return g_hostCalls.flock(s.fd, LOCK_EX | LOCK_NB) == 0 || Fail(s); }

// Gives the finished unnamed file a name beside the hive.
bool NameNewFile(Save &s)
{
    for (int attempt = 0; attempt < 100 && !s.named; attempt++) {
        snprintf(s.temp, sizeof s.temp, "%s.tessaril-%ld-%d", s.hive.leaf, (long)getpid(), attempt);
        if (g_hostCalls.linkat(AT_FDCWD, s.through, s.hive.dirfd, s.temp, AT_SYMLINK_FOLLOW) == 0)
            s.named = true;
        else if (errno != EEXIST)
            return Fail(s);
    }
    if (!s.named)
        s.error = EEXIST;
    return s.named;
}

// The backup, made for the rename that follows it.
bool KeepOld(Save &s)
{
    if (!s.hive.backup)
        return true;
    if (KeepOldHive(s.hive, s.facts.kept, sizeof s.facts.kept))
        return true;
    return Fail(s);
}

// The one step that replaces the hive; a backup made for it goes when it
// fails, so that a failed save leaves no copy of a hive that did not change.
bool PutInPlace(Save &s)
{
    if (g_hostCalls.renameat(s.hive.dirfd, s.temp, s.hive.dirfd, s.hive.leaf) == 0)
        return true;
    Fail(s);
    if (s.facts.kept[0] != '\0' && g_hostCalls.unlinkat(s.hive.dirfd, s.facts.kept, 0) == 0)
        s.facts.kept[0] = '\0';
    return false;
}

// The save's steps, in order: each ends the try when it fails.
const struct {
    SaveStep step;
    bool (*run)(Save &);
} kSaveSteps[] = {
    {kSaveCreating, CreateNewFile},  {kSaveWriting, WriteNewFile},       {kSaveFinishing, FinishNewFile},
    {kSaveChecking, CheckNewFile},   {kSaveOwner, GiveOwner},            {kSavePermissions, GivePermissions},
    {kSaveFlushing, FlushNewFile},   {kSaveLocking, LockNewFile},        {kSaveNaming, NameNewFile},
    {kSaveKeepingOld, KeepOld},      {kSaveRenaming, PutInPlace},
};

} // namespace

bool HiveFileCommit(HiveFile *file, HiveSaveReport *report)
{
    HiveFile &hive = *file;
    HiveSaveReport facts;
    facts.shown = hive.shown;
    if (hive.inMemory) {
        *report = facts;
        return true;
    }
    Save s{hive, facts};
    for (const auto &step : kSaveSteps) {
        if (step.run(s))
            continue;
        // The reason is the step that failed; a new file that cannot be
        // removed is told after it (the next run removes it).
        facts.failed = step.step;
        facts.error = s.error;
        facts.outcome = kSaveHiveAsItWas;
        if (s.named && g_hostCalls.unlinkat(hive.dirfd, s.temp, 0) != 0) {
            snprintf(facts.left, sizeof facts.left, "%s", s.temp);
            facts.leftError = errno;
        }
        if (s.fd >= 0)
            close(s.fd);
        *report = facts;
        return false;
    }
    // The new hive is in place and on disk; only its name may not be yet.
    // That is no failed save: the run goes on, and is told.
    facts.outcome = kSaveNewHiveInPlace;
    facts.folderError = g_hostCalls.fsync(hive.dirfd) != 0 ? errno : 0;
    struct stat st;
    if (fstat(s.fd, &st) == 0)
        hive.st = st;
    close(hive.lockfd);
    hive.lockfd = s.fd;
    *report = facts;
    return true;
}

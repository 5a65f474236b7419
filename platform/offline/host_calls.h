// The system calls of the hive's save, through one table that tests may
// change: each entry starts as the call itself, and a test that sets an entry
// to a function of its own makes that call fail where it chooses. Only the
// save goes through the table; every other file call is made directly.
#ifndef TESSARIL_PLATFORM_OFFLINE_HOST_CALLS_H
#define TESSARIL_PLATFORM_OFFLINE_HOST_CALLS_H

#include <sys/types.h>

typedef struct hive_h hive_h;

struct HostCalls {
    int (*openat)(int dirfd, const char *path, int flags, mode_t mode);
    // hivex's writer of a whole hive file, which writes through calls of its
    // own: the table holds it as one call.
    int (*hivexCommit)(hive_h *h, const char *path, int flags);
    ssize_t (*pread)(int fd, void *data, size_t size, off_t at);
    ssize_t (*pwrite)(int fd, const void *data, size_t size, off_t at);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*fchmod)(int fd, mode_t mode);
    int (*fsync)(int fd);
    int (*flock)(int fd, int operation);
    int (*linkat)(int fromDirfd, const char *from, int toDirfd, const char *to, int flags);
    int (*renameat)(int fromDirfd, const char *from, int toDirfd, const char *to);
    int (*unlinkat)(int dirfd, const char *path, int flags);
};

// The table in use, and the calls themselves, to restore an entry from.
extern HostCalls g_hostCalls;
extern const HostCalls kSystemHostCalls;

#endif

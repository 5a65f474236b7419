// The table of the save's system calls, each entry at first the call itself.
#include "platform/offline/host_calls.h"

#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// openat takes its mode through "...": the table's entry has a fixed shape.
int SystemOpenat(int dirfd, const char *path, int flags, mode_t mode)
{
    return openat(dirfd, path, flags, mode);
}

} // namespace

constexpr HostCalls kSystemHostCalls = {SystemOpenat, hivex_commit, pread,  pwrite,   fchown, fchmod,
                                    fsync,        flock,        linkat, renameat, unlinkat};

HostCalls g_hostCalls = kSystemHostCalls;

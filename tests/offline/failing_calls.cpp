// tessaril, with the save's system calls failing where the test says: the
// table's every entry is a twin that counts its calls and fails the chosen
// ones, then the program's run as tessaril makes it.
//
//   tessaril_failing_calls [--fail CALL:N:once|twice|from[:ERRNO]]... [--calls FILE]
//                          [--sequence FILE] [--kill-after N] -- ARGS...
//
// fails the Nth call of CALL (once), the Nth and the next (twice) or every
// call from the Nth on (from), with
// errno ERRNO (a number; EIO when left out). CALL is an entry of the table, or
// "tmpfile" for the openat calls that ask for an unnamed file (counted among
// the openat calls). FILE receives "CALL COUNT" lines: how often each entry
// was called. --sequence writes the calls made, one name a line, in order.
// --kill-after N ends the process with SIGKILL as soon as the Nth call of the
// table (whichever entry) has returned; with 0, at the first call, before it
// runs: a crash at a chosen point of the save. ARGS are tessaril's own.
#include "platform/offline/host_calls.h"
#include "wizard/main_offline.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

enum Call {
    kOpenat, kHivexCommit, kPread, kPwrite, kFchown, kFchmod, kFsync, kFlock, kLinkat, kRenameat,
    kUnlinkat, kCallCount
};
const char *const kNames[kCallCount] = {"openat", "hivex_commit", "pread",    "pwrite",
                                        "fchown", "fchmod",       "fsync",    "flock",
                                        "linkat", "renameat",     "unlinkat"};
// A call added to the table needs its twin here.
static_assert(sizeof(HostCalls) == kCallCount * sizeof(void (*)()), "a call has no twin");

struct Fault {
    int call;
    long n;
    long last; // the last call failed (LONG_MAX: from then on)
    int error;
    bool tmpfileOnly;
};

std::vector<Fault> g_faults;
long g_counts[kCallCount];
std::vector<const char *> g_sequence;
long g_killAfter = -1;

// Called when a call of the table has returned.
void Returned()
{
    if ((long)g_sequence.size() == g_killAfter)
        kill(getpid(), SIGKILL);
}

bool Fails(int call, int flags = 0)
{
    if (g_killAfter == 0)
        kill(getpid(), SIGKILL);
    g_sequence.push_back(call == kOpenat && (flags & O_TMPFILE) == O_TMPFILE ? "tmpfile" : kNames[call]);
    long n = ++g_counts[call];
    for (const Fault &f : g_faults)
        if (f.call == call && (!f.tmpfileOnly || (flags & O_TMPFILE) == O_TMPFILE) &&
            n >= f.n && n <= f.last) {
            errno = f.error;
            return true;
        }
    return false;
}

const HostCalls &S = kSystemHostCalls;

// A call of the table, unless it is to fail; then the kill point.
template <typename R, typename... P, typename... A>
R Through(int call, int flags, R (*real)(P...), A... args)
{
    if (Fails(call, flags))
        return (R)-1;
    R r = real(args...);
    Returned();
    return r;
}

int Openat(int d, const char *p, int fl, mode_t m) { return Through(kOpenat, fl, S.openat, d, p, fl, m); }
int HivexCommit(hive_h *h, const char *p, int fl) { return Through(kHivexCommit, 0, S.hivexCommit, h, p, fl); }
ssize_t Pread(int fd, void *b, size_t n, off_t at) { return Through(kPread, 0, S.pread, fd, b, n, at); }
ssize_t Pwrite(int fd, const void *b, size_t n, off_t at)
{
    return Through(kPwrite, 0, S.pwrite, fd, b, n, at);
}
int Fchown(int fd, uid_t u, gid_t g) { return Through(kFchown, 0, S.fchown, fd, u, g); }
int Fchmod(int fd, mode_t m) { return Through(kFchmod, 0, S.fchmod, fd, m); }
int Fsync(int fd) { return Through(kFsync, 0, S.fsync, fd); }
int Flock(int fd, int op) { return Through(kFlock, 0, S.flock, fd, op); }
int Linkat(int a, const char *p, int b, const char *q, int fl)
{
    return Through(kLinkat, 0, S.linkat, a, p, b, q, fl);
}
int Renameat(int a, const char *p, int b, const char *q) { return Through(kRenameat, 0, S.renameat, a, p, b, q); }
int Unlinkat(int d, const char *p, int fl) { return Through(kUnlinkat, 0, S.unlinkat, d, p, fl); }

const HostCalls kTwins = {Openat, HivexCommit, Pread,  Pwrite,   Fchown,  Fchmod,
                          Fsync,  Flock,       Linkat, Renameat, Unlinkat};

bool ParseFault(const char *text, Fault *f)
{
    char name[32], mode[8];
    int error = EIO;
    int got = sscanf(text, "%31[a-z_]:%ld:%7[a-z]:%d", name, &f->n, mode, &error);
    if (got < 3 || f->n < 1)
        return false;
    if (strcmp(mode, "once") == 0)
        f->last = f->n;
    else if (strcmp(mode, "twice") == 0)
        f->last = f->n + 1;
    else if (strcmp(mode, "from") == 0)
        f->last = LONG_MAX;
    else
        return false;
    f->error = error;
    f->tmpfileOnly = strcmp(name, "tmpfile") == 0;
    f->call = f->tmpfileOnly ? kOpenat : -1;
    for (int i = 0; i < kCallCount && f->call < 0; i++)
        if (strcmp(name, kNames[i]) == 0)
            f->call = i;
    return f->call >= 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *callsFile = NULL, *sequenceFile = NULL;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        Fault f;
        if (strcmp(argv[i], "--fail") == 0 && i + 1 < argc && ParseFault(argv[i + 1], &f)) {
            g_faults.push_back(f);
            i++;
        } else if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc) {
            callsFile = argv[++i];
        } else if (strcmp(argv[i], "--sequence") == 0 && i + 1 < argc) {
            sequenceFile = argv[++i];
        } else if (strcmp(argv[i], "--kill-after") == 0 && i + 1 < argc) {
            g_killAfter = atol(argv[++i]);
        } else {
            fprintf(stderr, "tessaril_failing_calls: cannot read %s\n", argv[i]);
            return 120;
        }
    }
    if (i == argc)
        return 120;
    g_hostCalls = kTwins;
    argv[i] = argv[0];
    int code = TessarilMain(argc - i, argv + i);
    if (callsFile != NULL) {
        FILE *out = fopen(callsFile, "w");
        if (out == NULL)
            return 121;
        for (int c = 0; c < kCallCount; c++)
            fprintf(out, "%s %ld\n", kNames[c], g_counts[c]);
        fclose(out);
    }
    if (sequenceFile != NULL) {
        FILE *out = fopen(sequenceFile, "w");
        if (out == NULL)
            return 121;
        for (const char *name : g_sequence)
            fprintf(out, "%s\n", name);
        fclose(out);
    }
    return code;
}

// The shadow of an image's installation: a private folder laid out as the
// installation is, its hives copied out, and a process that removes it
// when the run ends, however it ends.
#if TESSARIL_HAVE_GUESTFS
#include "platform/offline/guest_parts.h"

#include "platform/base.h"
#include "platform/offline/hive_set.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace guest_parts {

char g_root[PATH_MAX];    // the shadow's private folder
int g_cleaner = -1;       // the pipe whose end tells the cleaner to remove it
pid_t g_cleanerPid = -1;

// Guest paths of the installation open, with names spelt as in the image.
std::string g_windows;    // "/WINDOWS"
std::string g_config;     // "/WINDOWS/system32/config"
std::string g_hiveLeaf;   // "system"
std::string g_temp;       // "/WINDOWS/Temp", when it is a folder


int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void RemoveTree(const char *path)
{
    if (path[0] != '\0')
        nftw(path, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A process of its own that removes the shadow when this one ends, however
// it ends (a script interrupted, a kill): it waits for the end of a pipe
// whose only writer is this process.
void StartCleaner(const char *root)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_t pid = fork();
    if (pid == 0) {
        // Not ended by the signals that end the run with it (a terminal's
        // interrupt reaches the whole group).
        signal(SIGINT, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        signal(SIGQUIT, SIG_IGN);
        for (int fd = 0; fd < 1024; fd++)
            if (fd != fds[0])
                close(fd);
        char c;
        while (read(fds[0], &c, 1) < 0 && errno == EINTR) {
        }
        RemoveTree(root);
        _exit(0);
    }
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return;
    }
    g_cleaner = fds[1];
    g_cleanerPid = pid;
}

void StopCleaner(void)
{
    if (g_cleaner >= 0)
        close(g_cleaner);
    if (g_cleanerPid > 0)
        waitpid(g_cleanerPid, NULL, 0);
    g_cleaner = -1;
    g_cleanerPid = -1;
}


// Shadow files: a folder, a link (whose target does not matter: the
// installation's links are never followed), an empty file, or a file of a
// size with nothing in it.
bool MakeFolder(const std::string &path) { return mkdir(path.c_str(), 0700) == 0; }

bool MakeLink(const std::string &path) { return symlink("/nonexistent", path.c_str()) == 0; }

bool MakeFile(const std::string &path, int64_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = size <= 0 || ftruncate(fd, (off_t)size) == 0;
    return close(fd) == 0 && ok;
}

// An entry mirrored by its kind alone.
bool MirrorKind(const Entry &e, const std::string &host)
{
    switch (e.type) {
    case 'd':
        return MakeFolder(host);
    case 'l':
        return MakeLink(host);
    case 'r':
        return MakeFile(host, 0);
    default:
        return true;
    }
}

// A hive copied out, or, when it is larger than the store reads, a file of
// its size with nothing in it, which the store refuses as it would refuse
// the hive.
bool MirrorHive(const Entry &e, const std::string &guest, const std::string &host, off_t most,
                char *detail, size_t size)
{
    if (e.type != 'r')
        return MirrorKind(e, host);
    struct guestfs_statns *st = g_api.lstatns(g_g, guest.c_str());
    if (st == NULL) {
        LastError(detail, size);
        return false;
    }
    int64_t length = st->st_size;
    g_api.free_statns(st);
    if (length > (int64_t)most)
        return MakeFile(host, length);
    if (g_api.download(g_g, guest.c_str(), host.c_str()) != 0) {
        LastError(detail, size);
        return false;
    }
    return true;
}

// Lays out the shadow of the Windows folder at guest path windows: the
// folders to the hives, the two hives, their siblings named after the SYSTEM
// hive (its log files, copies kept by earlier runs) as files of their size,
// the drivers folder's files as empty files, and Temp.
bool LayOutShadow(const std::string &windows, const std::string &host, bool writable, char *detail,
                  size_t size)
{
    Entry system32, config, hive;
    if (!MakeFolder(host) || !Find(windows, "system32", &system32) ||
        !MakeFolder(Join(host, system32.name)))
        return false;
    std::string guest32 = Join(windows, system32.name), host32 = Join(host, system32.name);
    if (!Find(guest32, "config", &config) || !MakeFolder(Join(host32, config.name)))
        return false;
    g_windows = windows;
    g_config = Join(guest32, config.name);
    std::string hostConfig = Join(host32, config.name);
    std::vector<Entry> entries;
    if (!ReadFolder(g_config, &entries) || Match(entries, "system") == NULL)
        return false;
    hive = *Match(entries, "system");
    g_hiveLeaf = hive.name;
    std::string prefix = hive.name + ".", leftover = hive.name + ".tessaril-";
    for (const Entry &e : entries) {
        std::string guest = Join(g_config, e.name), there = Join(hostConfig, e.name);
        // New files a killed run left: removed from a writable image as from
        // a mounted disk, and never mirrored.
        if (e.type == 'r' && strncasecmp(e.name.c_str(), leftover.c_str(), leftover.size()) == 0) {
            if (writable)
                g_api.rm_f(g_g, guest.c_str());
            continue;
        }
        if (e.name == hive.name) {
            if (!MirrorHive(e, guest, there, hive_set::kMaxHiveBytes[0], detail, size))
                return false;
        } else if (&e == Match(entries, "software")) {
            if (!MirrorHive(e, guest, there, hive_set::kMaxHiveBytes[1], detail, size))
                return false;
        } else if (e.type == 'r' && strncasecmp(e.name.c_str(), prefix.c_str(), prefix.size()) == 0) {
            struct guestfs_statns *st = g_api.lstatns(g_g, guest.c_str());
            bool made = st != NULL && MakeFile(there, st->st_size);
            if (st != NULL)
                g_api.free_statns(st);
            if (!made)
                return false;
        } else if (e.type == 'l' && strncasecmp(e.name.c_str(), prefix.c_str(), prefix.size()) == 0) {
            MakeLink(there);
        }
    }
    Entry drivers;
    if (Find(guest32, "drivers", &drivers)) {
        std::string hostDrivers = Join(host32, drivers.name);
        if (!MirrorKind(drivers, hostDrivers))
            return false;
        if (drivers.type == 'd' && ReadFolder(Join(guest32, drivers.name), &entries))
            for (const Entry &e : entries)
                if (e.type == 'r' || e.type == 'l')
                    MirrorKind(e, Join(hostDrivers, e.name));
    }
    Entry temp;
    g_temp.clear();
    if (Find(windows, "Temp", &temp)) {
        if (!MirrorKind(temp, Join(host, temp.name)))
            return false;
        if (temp.type == 'd')
            g_temp = Join(windows, temp.name);
    }
    return true;
}

} // namespace guest_parts

#endif

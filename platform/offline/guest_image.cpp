// A Windows installation inside a disk image, through libguestfs loaded at
// run time (guest_image.h): the image opened in libguestfs's appliance, the
// Windows folder found on its file systems, the shadow of the installation
// laid out under $TMPDIR, and what the run saved there put back.
#include "platform/offline/guest_image.h"

#include "platform/base.h"
#include "platform/offline/hive_set.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#if TESSARIL_HAVE_GUESTFS
#include <guestfs.h>
#endif

bool IsDiskImage(const char *path)
{
    struct stat st;
    return path != NULL && path[0] != '\0' && stat(path, &st) == 0 &&
           (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

namespace {

ImageOpenReport g_report;
bool g_open = false;

} // namespace

#if !TESSARIL_HAVE_GUESTFS

bool OpenGuestImage(const char *path, const ImageOptions &, ImageOpenReport *report)
{
    *report = ImageOpenReport();
    if (realpath(path, report->image) == NULL)
        snprintf(report->image, sizeof report->image, "%.*s", (int)sizeof report->image - 1, path);
    report->refusal = kImageNotBuilt;
    return false;
}

bool PutBackGuestImage(const ImagePutBack &, ImageSaveReport *report)
{
    *report = ImageSaveReport();
    return true;
}

bool PutBackGuestLog(const char *, ImageSaveReport *) { return true; }

bool CloseGuestImage(char *, size_t) { return true; }

#else

namespace {
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

std::string Join(const std::string &folder, const std::string &name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// text into out, cut to fit.
void Copy(char *out, size_t size, const char *text)
{
    size_t n = strnlen(text, size - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

// Whether another process has the image open through qemu in a way that
// rules this run out, by the byte-range locks qemu takes on an image file it
// opens (RAW_LOCK_PERM_BASE 100 + the permission's bit for each permission
// it holds, RAW_LOCK_SHARED_BASE 200 + the bit for each it does not share
// with others): a check is ruled out by a writer (a running virtual
// machine), a repair by any other process that has the image open through
// qemu. qemu's own refusal at launch would catch only some of these (a
// virtual machine lets others read its disk as it changes).
bool HeldByQemu(int fd, bool readOnly)
{
    struct flock probe;
    memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = readOnly ? 101 : 100; // 101: the write permission
    probe.l_len = readOnly ? 1 : 200;
    return fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}


// libguestfs's calls, as loaded from libguestfs.so.0.
struct Guestfs {
    void *library = NULL;
    decltype(&guestfs_create_flags) create_flags;
    decltype(&guestfs_close) close;
    decltype(&guestfs_set_error_handler) set_error_handler;
    decltype(&guestfs_set_event_callback) set_event_callback;
    decltype(&guestfs_last_error) last_error;
    decltype(&guestfs_disk_format) disk_format;
    decltype(&guestfs_add_drive_opts_argv) add_drive_opts_argv;
    decltype(&guestfs_launch) launch;
    decltype(&guestfs_list_filesystems) list_filesystems;
    decltype(&guestfs_mount) mount;
    decltype(&guestfs_mount_ro) mount_ro;
    decltype(&guestfs_umount_all) umount_all;
    decltype(&guestfs_readdir) readdir;
    decltype(&guestfs_free_dirent_list) free_dirent_list;
    decltype(&guestfs_lstatns) lstatns;
    decltype(&guestfs_free_statns) free_statns;
    decltype(&guestfs_read_file) read_file;
    decltype(&guestfs_part_to_partnum) part_to_partnum;
    decltype(&guestfs_download) download;
    decltype(&guestfs_upload) upload;
    decltype(&guestfs_sync) sync;
    decltype(&guestfs_ln) ln;
    decltype(&guestfs_cp) cp;
    decltype(&guestfs_rename) rename;
    decltype(&guestfs_rm_f) rm_f;
    decltype(&guestfs_shutdown) shutdown;
};

Guestfs g_api;
guestfs_h *g_g = NULL;
// What qemu and the appliance said last (the error of a launch that fails is
// only there: libguestfs's own error says "see earlier error messages").
std::string g_said;

void KeepMessage(guestfs_h *, void *, uint64_t, int, int, const char *buf, size_t size,
                 const uint64_t *, size_t)
{
    g_said.append(buf, size);
    if (g_said.size() > 16384)
        g_said.erase(0, g_said.size() - 8192);
}

template <typename F> bool Resolve(void *library, const char *name, F *out)
{
    *out = (F)dlsym(library, name);
    return *out != NULL;
}

// Loads the library once; false, with the loader's words, when it cannot be.
bool LoadGuestfs(char *detail, size_t size)
{
    if (g_api.library != NULL)
        return true;
    void *l = dlopen("libguestfs.so.0", RTLD_NOW | RTLD_LOCAL);
    if (l == NULL) {
        const char *why = dlerror();
        Copy(detail, size, why ? why : "libguestfs.so.0 cannot be loaded");
        return false;
    }
    Guestfs a;
    a.library = l;
#define TESSARIL_RESOLVE(name) Resolve(l, "guestfs_" #name, &a.name)
    bool ok = TESSARIL_RESOLVE(create_flags) && TESSARIL_RESOLVE(close) &&
              TESSARIL_RESOLVE(set_error_handler) && TESSARIL_RESOLVE(set_event_callback) &&
              TESSARIL_RESOLVE(last_error) &&
              TESSARIL_RESOLVE(disk_format) && TESSARIL_RESOLVE(add_drive_opts_argv) &&
              TESSARIL_RESOLVE(launch) && TESSARIL_RESOLVE(list_filesystems) &&
              TESSARIL_RESOLVE(mount) && TESSARIL_RESOLVE(mount_ro) &&
              TESSARIL_RESOLVE(umount_all) && TESSARIL_RESOLVE(readdir) &&
              TESSARIL_RESOLVE(free_dirent_list) && TESSARIL_RESOLVE(lstatns) &&
              TESSARIL_RESOLVE(free_statns) && TESSARIL_RESOLVE(read_file) &&
              TESSARIL_RESOLVE(part_to_partnum) && TESSARIL_RESOLVE(download) &&
              TESSARIL_RESOLVE(upload) && TESSARIL_RESOLVE(sync) && TESSARIL_RESOLVE(ln) &&
              TESSARIL_RESOLVE(cp) && TESSARIL_RESOLVE(rename) && TESSARIL_RESOLVE(rm_f) &&
              TESSARIL_RESOLVE(shutdown);
#undef TESSARIL_RESOLVE
    if (!ok) {
        Copy(detail, size, "libguestfs.so.0 lacks a call tessaril needs (libguestfs 1.22 or later is)");
        dlclose(l);
        return false;
    }
    g_api = a;
    return true;
}

// libguestfs's words for the last call that failed: the first line of its
// error, and of what qemu or the appliance said before, the last line that
// tells an error.
void LastError(char *detail, size_t size)
{
    const char *why = g_g ? g_api.last_error(g_g) : NULL;
    std::string text = why ? why : "libguestfs gave no reason";
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    std::string said;
    for (size_t at = 0; at < g_said.size();) {
        size_t end = g_said.find_first_of("\r\n", at);
        std::string line = g_said.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.compare(0, 12, "qemu-system-") == 0 || strstr(line.c_str(), "rror") != NULL)
            said = line;
        at = end == std::string::npos ? g_said.size() : end + 1;
    }
    if (!said.empty() && text.find("see earlier error") != std::string::npos)
        text = text.substr(0, text.find(", see earlier")) + ": " + said;
    Copy(detail, size, text.c_str());
}

// qemu refuses an image that another process holds with its image lock, in
// the words "Failed to get "write" lock" (or "shared" lock) and "Is another
// process using the image".
bool InUse(const char *detail)
{
    return strstr(detail, "\" lock") != NULL || strstr(detail, "another process using") != NULL;
}

void FreeStrings(char **list)
{
    for (char **p = list; p && *p; p++)
        free(*p);
    free(list);
}

// An entry of a guest folder.
struct Entry {
    std::string name;
    char type; // readdir's: 'd', 'r', 'l', ...
};

bool ReadFolder(const std::string &folder, std::vector<Entry> *entries)
{
    entries->clear();
    guestfs_dirent_list *list = g_api.readdir(g_g, folder.c_str());
    if (list == NULL)
        return false;
    for (uint32_t i = 0; i < list->len; i++) {
        const char *n = list->val[i].name;
        if (strcmp(n, ".") != 0 && strcmp(n, "..") != 0 && strlen(n) <= 255 && strchr(n, '/') == NULL)
            entries->push_back(Entry{n, list->val[i].ftyp});
    }
    g_api.free_dirent_list(list);
    return true;
}

// The entry whose name is name without regard to case, as the host files
// match it: the exact spelling first, else the first such in byte order.
const Entry *Match(const std::vector<Entry> &entries, const char *name)
{
    const Entry *found = NULL;
    for (const Entry &e : entries) {
        if (e.name == name)
            return &e;
        if (lstrcmpiA(e.name.c_str(), name) == 0 && (found == NULL || e.name < found->name))
            found = &e;
    }
    return found;
}

// The entry of a guest folder named name (without regard to case).
bool Find(const std::string &folder, const char *name, Entry *out)
{
    std::vector<Entry> entries;
    const Entry *e = ReadFolder(folder, &entries) ? Match(entries, name) : NULL;
    if (e != NULL)
        *out = *e;
    return e != NULL;
}

// Whether the guest folder holds system32/config/system, each folder on
// the way a folder and the hive a regular file (no link followed).
bool HoldsSystemHive(const std::string &folder)
{
    Entry system32, config, hive;
    return Find(folder, "system32", &system32) && system32.type == 'd' &&
           Find(Join(folder, system32.name), "config", &config) && config.type == 'd' &&
           Find(Join(Join(folder, system32.name), config.name), "system", &hive) && hive.type == 'r';
}

struct Candidate {
    ImageFolder at;
    int partition; // its partition's number, 0 for a bare volume
};

// The value of boot.ini's "default=" line on the mounted file system, and
// the folder and partition number it names (partition(N)\FOLDER).
void ReadBootIni(char *named, size_t size, int *partition)
{
    Entry boot;
    struct guestfs_statns *st = NULL;
    if (!Find("/", "boot.ini", &boot) || boot.type != 'r' ||
        (st = g_api.lstatns(g_g, Join("/", boot.name).c_str())) == NULL)
        return;
    int64_t length = st->st_size;
    g_api.free_statns(st);
    if (length > 65536)
        return;
    size_t got = 0;
    char *text = g_api.read_file(g_g, Join("/", boot.name).c_str(), &got);
    if (text == NULL)
        return;
    std::string copy(text, got);
    free(text);
    char value[512];
    if (!BootIniDefaultPath(&copy[0], value, sizeof value))
        return;
    const char *folder = strrchr(value, '\\');
    Copy(named, size, folder ? folder + 1 : value);
    const char *p = strcasestr(value, "partition(");
    *partition = p ? atoi(p + 10) : 0;
}

// Finds every Windows folder on the image's file systems, each mounted
// read-only in turn, and boot.ini's default from the first that has one.
bool FindCandidates(std::vector<Candidate> *found, char *named, size_t namedSize, int *bootPartition,
                    char *detail, size_t size)
{
    char **filesystems = g_api.list_filesystems(g_g);
    if (filesystems == NULL) {
        LastError(detail, size);
        return false;
    }
    for (char **p = filesystems; p[0] && p[1]; p += 2) {
        const char *device = p[0], *type = p[1];
        if (strcmp(type, "swap") == 0 || strcmp(type, "unknown") == 0 || strlen(device) >= 64)
            continue;
        if (g_api.mount_ro(g_g, device, "/") != 0)
            continue;
        std::vector<Entry> top;
        ReadFolder("/", &top);
        std::vector<std::string> names;
        for (const Entry &e : top)
            if (e.type == 'd' && e.name.size() <= kMaxFolderName && strchr(e.name.c_str(), '\\') == NULL &&
                HoldsSystemHive(Join("/", e.name)))
                names.push_back(e.name);
        std::sort(names.begin(), names.end());
        int partition = g_api.part_to_partnum(g_g, device);
        for (const std::string &n : names) {
            Candidate c;
            Copy(c.at.device, sizeof c.at.device, device);
            Copy(c.at.folder, sizeof c.at.folder, n.c_str());
            c.partition = partition > 0 ? partition : 0;
            found->push_back(c);
        }
        if (named[0] == '\0')
            ReadBootIni(named, namedSize, bootPartition);
        g_api.umount_all(g_g);
    }
    FreeStrings(filesystems);
    return true;
}

// The candidate a name given for it takes: "FOLDER" or "DEVICE/FOLDER".
int ByName(const std::vector<Candidate> &found, const char *name, bool *several)
{
    const char *slash = strrchr(name, '/');
    std::string device = slash ? std::string(name, (size_t)(slash - name)) : "";
    const char *folder = slash ? slash + 1 : name;
    int chosen = -1, matches = 0;
    for (size_t i = 0; i < found.size(); i++)
        if (lstrcmpiA(found[i].at.folder, folder) == 0 && (device.empty() || device == found[i].at.device)) {
            chosen = (int)i;
            matches++;
        }
    *several = matches > 1;
    return matches == 1 ? chosen : -1;
}

// The candidate boot.ini's default names: by its folder, and among several
// of that name by its partition.
int ByBootIni(const std::vector<Candidate> &found, const char *named, int partition)
{
    int chosen = -1, matches = 0;
    for (size_t i = 0; i < found.size(); i++)
        if (lstrcmpiA(found[i].at.folder, named) == 0) {
            chosen = (int)i;
            matches++;
        }
    if (matches <= 1)
        return chosen;
    chosen = -1;
    matches = 0;
    for (size_t i = 0; i < found.size(); i++)
        if (lstrcmpiA(found[i].at.folder, named) == 0 && found[i].partition == partition) {
            chosen = (int)i;
            matches++;
        }
    return matches == 1 ? chosen : -1;
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

void Release(void)
{
    if (g_g != NULL) {
        g_api.close(g_g);
        g_g = NULL;
    }
    RemoveTree(g_root);
    StopCleaner();
    g_root[0] = '\0';
    g_open = false;
}

bool Refuse(ImageOpenReport *r, ImageRefusal why)
{
    r->refusal = why;
    Release();
    return false;
}

} // namespace

bool OpenGuestImage(const char *path, const ImageOptions &options, ImageOpenReport *report)
{
    ImageOpenReport &r = *report;
    r = ImageOpenReport();
    if (g_open)
        Release();
    if (realpath(path, r.image) == NULL)
        Copy(r.image, sizeof r.image, path);
    int fd = open(r.image, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        r.error = errno;
        r.refusal = kImageUnreadable;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < kMinImageBytes) {
        close(fd);
        r.size = (long long)st.st_size;
        r.refusal = kImageTooSmall;
        return false;
    }
    bool held = HeldByQemu(fd, options.readOnly);
    close(fd);
    if (held) {
        r.refusal = kImageInUse;
        return false;
    }
    if (!LoadGuestfs(r.detail, sizeof r.detail)) {
        r.refusal = kImageNoLibrary;
        return false;
    }

    // The shadow's private folder, and the process that removes it should
    // this one end early.
    const char *tmp = getenv("TMPDIR");
    char root[PATH_MAX];
    snprintf(root, sizeof root, "%s/tessaril-image-XXXXXX", tmp && tmp[0] ? tmp : "/tmp");
    if (mkdtemp(root) == NULL || realpath(root, g_root) == NULL) {
        r.error = errno;
        r.refusal = kImageNoScratch;
        rmdir(root);
        return false;
    }
    StartCleaner(g_root);

    g_g = g_api.create_flags(0);
    if (g_g == NULL) {
        Copy(r.detail, sizeof r.detail, "libguestfs could not make a handle");
        return Refuse(&r, kImageNoAppliance);
    }
    g_api.set_error_handler(g_g, NULL, NULL);
    g_said.clear();
    g_api.set_event_callback(g_g, KeepMessage, GUESTFS_EVENT_APPLIANCE | GUESTFS_EVENT_LIBRARY, 0, NULL);
    char *format = g_api.disk_format(g_g, r.image);
    if (format == NULL) {
        LastError(r.detail, sizeof r.detail);
        return Refuse(&r, InUse(r.detail) ? kImageInUse : kImageUnreadable);
    }
    Copy(r.format, sizeof r.format, strcmp(format, "unknown") == 0 ? "raw" : format);
    free(format);
    struct guestfs_add_drive_opts_argv drive;
    memset(&drive, 0, sizeof drive);
    drive.bitmask = GUESTFS_ADD_DRIVE_OPTS_READONLY_BITMASK | GUESTFS_ADD_DRIVE_OPTS_FORMAT_BITMASK;
    drive.readonly = options.readOnly ? 1 : 0;
    drive.format = r.format;
    if (g_api.add_drive_opts_argv(g_g, r.image, &drive) != 0) {
        LastError(r.detail, sizeof r.detail);
        return Refuse(&r, InUse(r.detail) ? kImageInUse : kImageUnreadable);
    }
    if (g_api.launch(g_g) != 0) {
        LastError(r.detail, sizeof r.detail);
        return Refuse(&r, InUse(r.detail) ? kImageInUse : kImageNoAppliance);
    }

    std::vector<Candidate> found;
    int bootPartition = 0;
    if (!FindCandidates(&found, r.named, sizeof r.named, &bootPartition, r.detail, sizeof r.detail))
        return Refuse(&r, kImageNoAppliance);
    r.count = (int)found.size();
    for (int i = 0; i < r.count && i < kMaxListedFolders; i++)
        r.found[i] = found[(size_t)i].at;
    if (found.empty())
        return Refuse(&r, kImageNoWindows);
    int chosen = -1;
    bool several = false;
    if (options.windows != NULL && options.windows[0] != '\0') {
        Copy(r.asked, sizeof r.asked, options.windows);
        chosen = ByName(found, options.windows, &several);
        r.finding = kImageByName;
        if (chosen < 0)
            return Refuse(&r, several ? kImageSeveral : kImageNotNamed);
    } else if (found.size() == 1) {
        chosen = 0;
    } else {
        chosen = r.named[0] ? ByBootIni(found, r.named, bootPartition) : -1;
        r.finding = kImageByBootIni;
        if (chosen < 0)
            return Refuse(&r, kImageSeveral);
    }
    r.chosen = found[(size_t)chosen].at;

    // Its file system, for writing unless only checked: a file system that
    // cannot be written (another system holds it, or ntfs-3g refuses an
    // NTFS that Windows left hibernated or unclean) is refused here.
    if (options.readOnly ? g_api.mount_ro(g_g, r.chosen.device, "/") != 0
                         : g_api.mount(g_g, r.chosen.device, "/") != 0) {
        LastError(r.detail, sizeof r.detail);
        return Refuse(&r, options.readOnly ? kImageReadFailed : kImageNotWritable);
    }
    std::string windows = Join("/", r.chosen.folder);
    std::string host = Join(g_root, r.chosen.folder);
    if (!LayOutShadow(windows, host, !options.readOnly, r.detail, sizeof r.detail)) {
        if (r.detail[0] == '\0')
            LastError(r.detail, sizeof r.detail);
        return Refuse(&r, kImageReadFailed);
    }
    Copy(r.shadow, sizeof r.shadow, host.c_str());
    snprintf(r.shown, sizeof r.shown, "%s:%s/%s", r.image, r.chosen.device, r.chosen.folder);
    g_report = r;
    g_report.refusal = kImageOpened;
    g_open = true;
    return true;
}

bool PutBackGuestImage(const ImagePutBack &what, ImageSaveReport *report)
{
    ImageSaveReport &r = *report;
    r = ImageSaveReport();
    if (!g_open)
        return true;
    std::string hive = Join(g_config, g_hiveLeaf);
    snprintf(r.shown, sizeof r.shown, "%s:%s%s", g_report.image, g_report.chosen.device, hive.c_str());
    if (what.hive) {
        std::string hostHive = g_report.shadow + hive.substr(g_windows.size());
        char suffix[64];
        snprintf(suffix, sizeof suffix, ".tessaril-%ld", (long)getpid());
        std::string fresh = hive + suffix;
        ImageSaveStep failed = kImageSaveNoStep;
        if (g_api.upload(g_g, hostHive.c_str(), fresh.c_str()) != 0)
            failed = kImageSaveUploading;
        else if (g_api.sync(g_g) != 0)
            failed = kImageSaveFlushing;
        if (failed == kImageSaveNoStep && what.kept[0] != '\0') {
            // A hard link where the file system has them (ntfs-3g does),
            // else a copy, flushed before the hive is replaced.
            std::string kept = Join(g_config, what.kept);
            if (g_api.ln(g_g, hive.c_str(), kept.c_str()) != 0 &&
                (g_api.rm_f(g_g, kept.c_str()), g_api.cp(g_g, hive.c_str(), kept.c_str()) != 0 ||
                                                    g_api.sync(g_g) != 0)) {
                failed = kImageSaveKeepingOld;
                g_api.rm_f(g_g, kept.c_str());
            }
        }
        if (failed == kImageSaveNoStep && g_api.rename(g_g, fresh.c_str(), hive.c_str()) != 0)
            failed = kImageSaveRenaming;
        if (failed != kImageSaveNoStep) {
            LastError(r.detail, sizeof r.detail);
            r.failed = failed;
            g_api.rm_f(g_g, fresh.c_str());
            return false;
        }
        if (g_api.sync(g_g) != 0) {
            LastError(r.detail, sizeof r.detail);
            r.failed = kImageSaveFlushing;
            return false;
        }
    }
    return true;
}

// The log, written after the hive (and after a failure of the hive, which
// it then tells of): rewritten in place, as on a mounted disk.
bool PutBackGuestLog(const char *hostLog, ImageSaveReport *report)
{
    if (!g_open || hostLog == NULL || hostLog[0] == '\0' || g_temp.empty())
        return true;
    const char *leaf = strrchr(hostLog, '/');
    Entry existing;
    std::string guest = Join(g_temp, Find(g_temp, leaf ? leaf + 1 : hostLog, &existing) &&
                                             existing.type == 'r'
                                         ? existing.name
                                         : std::string(leaf ? leaf + 1 : hostLog));
    if (g_api.upload(g_g, hostLog, guest.c_str()) != 0 || g_api.sync(g_g) != 0) {
        report->logFailed = true;
        LastError(report->logDetail, sizeof report->logDetail);
        return false;
    }
    return true;
}

bool CloseGuestImage(char *detail, size_t size)
{
    bool ok = true;
    if (g_open && g_g != NULL) {
        g_api.umount_all(g_g);
        if (g_api.shutdown(g_g) != 0) {
            ok = false;
            if (detail != NULL && size > 0)
                LastError(detail, size);
        }
    }
    Release();
    return ok;
}

#endif

bool GuestImageOpen(void) { return g_open; }

const ImageOpenReport *GuestImageReport(void) { return g_open ? &g_report : NULL; }

std::string ShowImagePaths(const std::string &text)
{
    std::string s = text;
    if (g_open && g_report.shadow[0] != '\0') {
        std::string from = g_report.shadow, to = g_report.shown;
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
            s.replace(at, from.size(), to);
    }
    return s;
}

// Key handles, name lookup, value conversion and hive persistence of the
// offline registry.
#include "platform/offline/offline_registry.h"

#include "platform/offline/cp1252.h"
#include "platform/offline/regf_file.h"
#include "platform/posix/host_files.h"
#include "platform/registry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const int kHiveCount = 2;
const char *const kHiveNames[kHiveCount] = {"SYSTEM", "SOFTWARE"};

// Rights that change a key or its values.
const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x00010000 |
                            0x00040000 | 0x00080000;

// The largest hive files read. A SYSTEM hive is loaded whole by the boot
// loader and stays far below this; a SOFTWARE hive grows larger, but not to
// this. A bigger file is refused before anything of it is read: hivex would
// take all of it into memory.
const off_t kMaxHiveBytes[kHiveCount] = {(off_t)256 << 20, (off_t)1 << 30};

const size_t kMaxKeyName = 255;
const size_t kMaxValueName = 16383;
const uint64_t kMaxValueData = 1000000;

struct Child {
    hive_node_h node;
    std::string name; // UTF-8, as hivex gives it
};

struct Hive {
    bool loaded = false;
    hive_h *h = NULL;
    int dirfd = -1;
    int lockfd = -1;
    char leaf[256] = "";
    char shown[1024] = "";
    struct stat st = {};
    uint32_t minor = 0;
    bool writable = false;
    bool dirty = false;
    bool damaged = false; // hivex failed on its content: never written
    int openKeys = 0;
    hive_node_h currentControlSet = 0;
    std::unordered_map<hive_node_h, std::vector<Child>> children;
};

Hive g_hives[kHiveCount];

// Key handles. A handle is the slot number plus a bias, so that it is never
// NULL nor one of the predefined keys.
const int kMaxKeys = 256;
const uintptr_t kKeyBias = 0x10000;
struct KeySlot {
    bool used;
    int hive;
    hive_node_h node;
    REGSAM access;
};
KeySlot g_keys[kMaxKeys];

// Where a path walk stands: the HKEY_LOCAL_MACHINE pseudo key (hive -1) or a
// node of a hive.
struct Position {
    int hive;
    hive_node_h node;
};

void SetMessage(char *message, size_t size, const char *format, const char *a, const char *b = "")
{
    if (message != NULL && size > 0)
        snprintf(message, size, format, a, b);
}

KeySlot *SlotOf(HKEY key)
{
    uintptr_t v = (uintptr_t)key;
    if (v < kKeyBias || v >= kKeyBias + kMaxKeys)
        return NULL;
    KeySlot *s = &g_keys[v - kKeyBias];
    return s->used ? s : NULL;
}

bool IsRoot(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

// A failure reported by hivex while reading: unless it is only a shortage of
// memory, the content is damaged and the hive must not be written back.
LONG HivexFailure(Hive &hive)
{
    if (errno == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    hive.damaged = true;
    return ERROR_BADDB;
}

// The children of a node, read once and kept until one is added.
const std::vector<Child> *ChildrenOf(Hive &hive, hive_node_h node, LONG *status)
{
    try {
        auto it = hive.children.find(node);
        if (it != hive.children.end())
            return &it->second;
        errno = 0;
        hive_node_h *kids = hivex_node_children(hive.h, node);
        if (kids == NULL) {
            *status = HivexFailure(hive);
            return NULL;
        }
        std::vector<Child> list;
        for (size_t i = 0; kids[i] != 0; i++) {
            errno = 0;
            char *name = hivex_node_name(hive.h, kids[i]);
            if (name == NULL) {
                free(kids);
                *status = HivexFailure(hive);
                return NULL;
            }
            std::string utf8;
            try {
                utf8.assign(name);
            } catch (const std::bad_alloc &) {
                free(name);
                free(kids);
                throw;
            }
            free(name);
            list.push_back(Child{kids[i], std::move(utf8)});
        }
        free(kids);
        auto done = hive.children.emplace(node, std::move(list));
        return &done.first->second;
    } catch (const std::bad_alloc &) {
        *status = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
}

// Finds the child of a node named name (Windows-1252) without regard to case.
// 0 with *status ERROR_FILE_NOT_FOUND when there is none.
hive_node_h FindChild(Hive &hive, hive_node_h node, const char *name, LONG *status)
{
    const std::vector<Child> *kids = ChildrenOf(hive, node, status);
    if (kids == NULL)
        return 0;
    for (const Child &c : *kids)
        if (NameEqualsUtf8(name, c.name.data(), c.name.size()))
            return c.node;
    *status = ERROR_FILE_NOT_FOUND;
    return 0;
}

hive_node_h AddChild(Hive &hive, hive_node_h node, const char *name, LONG *status)
{
    char utf8[kMaxKeyName * 3 + 1];
    if (!Cp1252ToUtf8(name, utf8, sizeof utf8)) {
        *status = ERROR_INVALID_PARAMETER;
        return 0;
    }
    errno = 0;
    hive_node_h child = hivex_node_add_child(hive.h, node, utf8);
    if (child == 0) {
        // hivex may have changed part of the hive before it failed: what is in
        // memory can no longer be trusted to be whole, so it is never written.
        *status = errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
        hive.damaged = true;
        return 0;
    }
    hive.children.erase(node);
    hive.dirty = true;
    return child;
}

bool SameName(const char *a, const char *b) { return lstrcmpiA(a, b) == 0; }

// Walks path (components separated by "\") from base. With create, missing
// keys are made (base then needs KEY_CREATE_SUB_KEY); *created tells whether
// the last one was.
LONG Walk(HKEY base, const char *path, bool create, Position *out, bool *created)
{
    Position pos;
    REGSAM baseAccess = KEY_ALL_ACCESS;
    if (IsRoot(base)) {
        pos.hive = -1;
        pos.node = 0;
    } else {
        KeySlot *s = SlotOf(base);
        if (s == NULL)
            return ERROR_INVALID_HANDLE;
        pos.hive = s->hive;
        pos.node = s->node;
        baseAccess = s->access;
    }
    if (created)
        *created = false;
    const char *p = path ? path : "";
    while (*p != '\0') {
        const char *end = strchr(p, '\\');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == 0)
            return create ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
        if (n > kMaxKeyName)
            return create ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
        char name[kMaxKeyName + 1];
        memcpy(name, p, n);
        name[n] = '\0';
        p = end ? end + 1 : p + n;

        if (pos.hive < 0) {
            int found = -1;
            for (int i = 0; i < kHiveCount; i++)
                if (g_hives[i].loaded && SameName(name, kHiveNames[i]))
                    found = i;
            if (found < 0)
                return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
            pos.hive = found;
            pos.node = hivex_root(g_hives[found].h);
            continue;
        }
        Hive &hive = g_hives[pos.hive];
        if (pos.hive == kOfflineSystem && pos.node == hivex_root(hive.h) &&
            SameName(name, "CurrentControlSet")) {
            pos.node = hive.currentControlSet;
            continue;
        }
        LONG status = ERROR_SUCCESS;
        hive_node_h child = FindChild(hive, pos.node, name, &status);
        if (child == 0 && status == ERROR_FILE_NOT_FOUND && create) {
            if (!(baseAccess & KEY_CREATE_SUB_KEY) || !hive.writable)
                return ERROR_ACCESS_DENIED;
            if (hive.damaged)
                return ERROR_REGISTRY_CORRUPT;
            child = AddChild(hive, pos.node, name, &status);
            if (child != 0 && created)
                *created = true;
        }
        if (child == 0)
            return status;
        if (created && *p != '\0')
            *created = false;
        pos.node = child;
    }
    *out = pos;
    return ERROR_SUCCESS;
}

LONG OpenAt(HKEY base, const char *path, REGSAM access, bool create, PHKEY result,
            LPDWORD disposition)
{
    if (result == NULL)
        return ERROR_INVALID_PARAMETER;
    if (!IsRoot(base) && SlotOf(base) == NULL)
        return ERROR_INVALID_HANDLE;
    // Writing needs a hive that may be written: find which one first.
    Position pos;
    bool created = false;
    if (access & kWriteRights) {
        int hive = -1;
        if (IsRoot(base)) {
            const char *p = path ? path : "";
            const char *end = strchr(p, '\\');
            size_t n = end ? (size_t)(end - p) : strlen(p);
            for (int i = 0; i < kHiveCount; i++)
                if (g_hives[i].loaded && strlen(kHiveNames[i]) == n) {
                    char first[16];
                    memcpy(first, p, n);
                    first[n] = '\0';
                    if (SameName(first, kHiveNames[i]))
                        hive = i;
                }
        } else {
            hive = SlotOf(base)->hive;
        }
        if (hive >= 0 && (!g_hives[hive].writable || g_hives[hive].damaged))
            return ERROR_ACCESS_DENIED;
    }
    LONG status = Walk(base, path, create, &pos, &created);
    if (status != ERROR_SUCCESS)
        return status;
    if (pos.hive < 0) {
        // The HKEY_LOCAL_MACHINE pseudo key itself.
        *result = HKEY_LOCAL_MACHINE;
        if (disposition)
            *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    int slot = 0;
    while (slot < kMaxKeys && g_keys[slot].used)
        slot++;
    if (slot == kMaxKeys)
        return ERROR_NOT_ENOUGH_MEMORY;
    g_keys[slot].used = true;
    g_keys[slot].hive = pos.hive;
    g_keys[slot].node = pos.node;
    g_keys[slot].access = access;
    g_hives[pos.hive].openKeys++;
    *result = (HKEY)(kKeyBias + (uintptr_t)slot);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// Finds a value by name (Windows-1252, "" or NULL for the default value)
// without regard to case; its stored name, as hivex spells it, into key.
hive_value_h FindValue(Hive &hive, hive_node_h node, const char *name, std::string *key,
                       LONG *status)
{
    const char *want = name ? name : "";
    errno = 0;
    hive_value_h *values = hivex_node_values(hive.h, node);
    if (values == NULL) {
        *status = HivexFailure(hive);
        return 0;
    }
    hive_value_h found = 0;
    for (size_t i = 0; values[i] != 0 && found == 0; i++) {
        errno = 0;
        char *k = hivex_value_key(hive.h, values[i]);
        if (k == NULL) {
            *status = HivexFailure(hive);
            free(values);
            return 0;
        }
        if (NameEqualsUtf8(want, k, strlen(k))) {
            found = values[i];
            if (key) {
                try {
                    key->assign(k);
                } catch (const std::bad_alloc &) {
                    free(k);
                    free(values);
                    *status = ERROR_NOT_ENOUGH_MEMORY;
                    return 0;
                }
            }
        }
        free(k);
    }
    free(values);
    if (found == 0)
        *status = ERROR_FILE_NOT_FOUND;
    return found;
}

// A value's data and type. hivex hands over the type as the hive stores it,
// any 32-bit number, in its enum type: it is taken as a number, never read
// as the enum, whose values it may lie outside.
static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type holds a 32-bit type");
char *ValueData(Hive &hive, hive_value_h v, DWORD *type, size_t *len)
{
    hive_type t;
    memset(&t, 0, sizeof t);
    errno = 0;
    char *data = hivex_value_value(hive.h, v, &t, len);
    uint32_t n;
    memcpy(&n, &t, sizeof n);
    *type = (DWORD)n;
    return data;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Opens the hive file named leaf in dirfd and takes its lock. The file could
// be replaced between the open and the lock; then the lock is taken again on
// the file now there.
OfflineLoadResult LockHiveFile(Hive &hive, int *fdOut)
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

bool DecideWritable(Hive &hive)
{
    if ((hive.st.st_mode & 0222) == 0)
        return false;
    if (faccessat(hive.dirfd, hive.leaf, W_OK, AT_EACCESS) != 0)
        return false;
    if (faccessat(hive.dirfd, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return false;
    struct statvfs vfs;
    if (fstatvfs(hive.dirfd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
        return false;
    return true;
}

void ReleaseHive(Hive &hive)
{
    if (hive.h)
        hivex_close(hive.h);
    if (hive.lockfd >= 0)
        close(hive.lockfd);
    if (hive.dirfd >= 0)
        close(hive.dirfd);
    hive.~Hive();
    new (&hive) Hive();
}

// Finds Select\Current and the control set it names.
bool FindCurrentControlSet(Hive &hive)
{
    LONG status;
    hive_node_h root = hivex_root(hive.h);
    hive_node_h select = FindChild(hive, root, "Select", &status);
    if (select == 0)
        return false;
    hive_value_h v = FindValue(hive, select, "Current", NULL, &status);
    if (v == 0)
        return false;
    DWORD t;
    size_t len;
    char *data = ValueData(hive, v, &t, &len);
    if (data == NULL)
        return false;
    uint32_t n = 0;
    bool ok = t == REG_DWORD && len == 4;
    if (ok)
        n = (uint32_t)(unsigned char)data[0] | ((uint32_t)(unsigned char)data[1] << 8) |
            ((uint32_t)(unsigned char)data[2] << 16) | ((uint32_t)(unsigned char)data[3] << 24);
    free(data);
    if (!ok || n == 0 || n > 999)
        return false;
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", (unsigned)n);
    hive.currentControlSet = FindChild(hive, root, name, &status);
    return hive.currentControlSet != 0;
}

// Writes the hive beside itself and puts the new file in its place.
bool CommitHive(Hive &hive, char *message, size_t size)
{
    if (hive.damaged) {
        SetMessage(message, size,
                   "the hive %s is damaged: part of it could not be read or changed, so it "
                   "was left as it was", hive.shown);
        return false;
    }
    char temp[300] = "";
    // The new hive is an unnamed file in the hive's folder, so that a run
    // killed while writing it leaves nothing behind; it gets a name only
    // when complete, just before it is renamed over the hive. Where the file
    // system has no unnamed files it is named from the start.
    bool named = false;
    int fd = openat(hive.dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        snprintf(temp, sizeof temp, "%s.tessaril-%ld-%d", hive.leaf, (long)getpid(), attempt);
        fd = openat(hive.dirfd, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        named = fd >= 0;
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        SetMessage(message, size, "cannot create a new file beside the hive %s: %s", hive.shown,
                   strerror(errno));
        return false;
    }
    const char *failed = NULL;
    int error = 0;
    char through[64];
    snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
    // Gives the finished unnamed file a name beside the hive.
    auto giveName = [&]() {
        for (int attempt = 0; attempt < 100; attempt++) {
            snprintf(temp, sizeof temp, "%s.tessaril-%ld-%d", hive.leaf, (long)getpid(), attempt);
            if (linkat(AT_FDCWD, through, hive.dirfd, temp, AT_SYMLINK_FOLLOW) == 0) {
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
    if (hivex_commit(hive.h, through, 0) != 0) {
        failed = "writing it";
        error = errno;
    } else if (hive.minor < 5 && ConvertHashLeavesToFastLeaves(fd) < 0) {
        failed = "rewriting its subkey lists in the Windows 2000 form";
        error = EIO;
    } else if (pread(fd, block, sizeof block, 0) != (ssize_t)sizeof block ||
               !ParseRegfHeader(block, sizeof block, &header) || !header.checksumOk ||
               header.sequence1 != header.sequence2) {
        failed = "checking what was written";
        error = EIO;
    } else if ((hive.st.st_uid != geteuid() || hive.st.st_gid != getegid()) &&
               fchown(fd, hive.st.st_uid, hive.st.st_gid) != 0) {
        failed = "giving it the hive's owner";
        error = errno;
    } else if (fchmod(fd, hive.st.st_mode & 07777) != 0) {
        failed = "giving it the hive's permissions";
        error = errno;
    } else if (fsync(fd) != 0) {
        failed = "flushing it to disk";
        error = errno;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failed = "locking it";
        error = errno;
    } else if (!named && !giveName()) {
        failed = "giving it a name beside the hive";
        error = errno;
    } else if (renameat(hive.dirfd, temp, hive.dirfd, hive.leaf) != 0) {
        failed = "putting it in place of the hive";
        error = errno;
    }
    if (failed != NULL) {
        if (named)
            unlinkat(hive.dirfd, temp, 0);
        close(fd);
        char what[1400];
        snprintf(what, sizeof what, "%s (%s)", failed, strerror(error));
        SetMessage(message, size, "the hive %s was not changed: failed %s", hive.shown, what);
        return false;
    }
    fsync(hive.dirfd);
    struct stat st;
    if (fstat(fd, &st) == 0)
        hive.st = st;
    close(hive.lockfd);
    hive.lockfd = fd;
    hive.dirty = false;
    return true;
}

char g_commitMessage[1536];

// New hive files that a killed run left beside the hive. Whoever holds the
// hive's lock is the only one that may be writing one, so the rest are
// leftovers.
void RemoveLeftovers(Hive &hive)
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

} // namespace

OfflineLoadResult OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  char *message, size_t size)
{
    Hive &hive = g_hives[which];
    ReleaseHive(hive);
    snprintf(hive.shown, sizeof hive.shown, "%s", shownPath);
    if (!HostOpenParent(windowsPath, &hive.dirfd, hive.leaf, sizeof hive.leaf)) {
        hive.dirfd = -1;
        if (errno == ELOOP) {
            SetMessage(message, size,
                       "a folder on the way to %s is a symbolic link, which tessaril does not "
                       "follow, so that it never writes outside the installation",
                       shownPath);
            return kLoadLink;
        }
        SetMessage(message, size, "%s does not exist", shownPath);
        return kLoadMissing;
    }
    int fd = -1;
    OfflineLoadResult r = LockHiveFile(hive, &fd);
    if (r != kLoadOk) {
        if (r == kLoadMissing)
            SetMessage(message, size, "%s does not exist", shownPath);
        else if (r == kLoadInUse)
            SetMessage(message, size, "%s is locked by another process", shownPath);
        else if (r == kLoadCorrupt)
            SetMessage(message, size, "%s is not a regular file", shownPath);
        else if (r == kLoadLink)
            SetMessage(message, size,
                       "%s is a symbolic link, which tessaril does not follow, so that it never "
                       "writes outside the installation",
                       shownPath);
        else
            SetMessage(message, size, "%s cannot be opened: %s", shownPath, strerror(errno));
        ReleaseHive(hive);
        return r;
    }
    hive.lockfd = fd;
    if (hive.st.st_size > kMaxHiveBytes[which]) {
        char detail[160];
        snprintf(detail, sizeof detail,
                 "is %lld bytes, far larger than a %s hive can be (at most %lld bytes are "
                 "read)",
                 (long long)hive.st.st_size, kHiveNames[which], (long long)kMaxHiveBytes[which]);
        SetMessage(message, size, "%s %s, so it was not read", shownPath, detail);
        ReleaseHive(hive);
        return kLoadTooLarge;
    }

    unsigned char block[kRegfBaseBlockSize];
    RegfHeader header;
    ssize_t got = pread(fd, block, sizeof block, 0);
    if (got != (ssize_t)sizeof block || !ParseRegfHeader(block, sizeof block, &header)) {
        SetMessage(message, size, "%s is not a registry hive", shownPath);
        ReleaseHive(hive);
        return kLoadCorrupt;
    }
    if (header.sequence1 != header.sequence2) {
        SetMessage(message, size,
                   "%s was not cleanly closed: its two sequence numbers differ, and its latest "
                   "changes are still in its .LOG file",
                   shownPath);
        ReleaseHive(hive);
        return kLoadNotClean;
    }
    if (!header.checksumOk || header.major != 1) {
        SetMessage(message, size, "%s is damaged: its header is not valid", shownPath);
        ReleaseHive(hive);
        return kLoadCorrupt;
    }
    // hivex takes the size of the bins from the header and would grow the
    // hive to it when a key is added: a size the file does not hold is
    // damage, refused here.
    if (header.binsSize == 0 || header.binsSize % kRegfBaseBlockSize != 0 ||
        (off_t)kRegfBaseBlockSize + (off_t)header.binsSize > hive.st.st_size ||
        header.rootCell >= header.binsSize) {
        SetMessage(message, size,
                   "%s is damaged: its header gives a size or a root key that the file does not "
                   "hold",
                   shownPath);
        ReleaseHive(hive);
        return kLoadCorrupt;
    }
    hive.minor = header.minor;
    hive.writable = DecideWritable(hive);
    if (hive.writable)
        RemoveLeftovers(hive);

    // hivex opens files by name: hand it the very file that was locked and
    // checked, through its descriptor.
    char through[64];
    snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
    if (access(through, R_OK) != 0) {
        SetMessage(message, size, "%s cannot be read: /proc is not mounted", shownPath);
        ReleaseHive(hive);
        return kLoadFailed;
    }
    errno = 0;
    hive.h = hivex_open(through, hive.writable ? HIVEX_OPEN_WRITE : 0);
    if (hive.h == NULL) {
        SetMessage(message, size, "%s is damaged: %s", shownPath,
                   errno ? strerror(errno) : "refused by the hive reader");
        ReleaseHive(hive);
        return kLoadCorrupt;
    }
    hive.loaded = true;
    if (which == kOfflineSystem && !FindCurrentControlSet(hive)) {
        SetMessage(message, size,
                   "%s has no usable Select\\Current value naming an existing control set",
                   shownPath);
        ReleaseHive(hive);
        return kLoadNoControlSet;
    }
    return kLoadOk;
}

bool OfflineHiveWritable(OfflineHive which)
{
    return g_hives[which].loaded && g_hives[which].writable && !g_hives[which].damaged;
}

bool OfflineCommitAll(char *message, size_t size)
{
    bool ok = true;
    if (message && size)
        message[0] = '\0';
    for (int i = 0; i < kHiveCount; i++) {
        Hive &hive = g_hives[i];
        if (!hive.loaded || (!hive.dirty && !hive.damaged))
            continue;
        // A damaged hive is reported even when nothing was to be written to
        // it: it explains the failures the run has logged.
        if (!CommitHive(hive, message, size))
            ok = false;
    }
    return ok;
}

void OfflineUnloadAll(void)
{
    for (int i = 0; i < kMaxKeys; i++)
        g_keys[i].used = false;
    for (int i = 0; i < kHiveCount; i++)
        ReleaseHive(g_hives[i]);
    g_commitMessage[0] = '\0';
}

int OfflineOpenKeyCount(void)
{
    int n = 0;
    for (int i = 0; i < kMaxKeys; i++)
        if (g_keys[i].used)
            n++;
    return n;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    (void)lpClass;
    (void)lpSecurityAttributes;
    if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    return OpenAt(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    (void)ulOptions;
    return OpenAt(hKey, lpSubKey, samDesired, false, phkResult, NULL);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != NULL || (lpData != NULL && lpcbData == NULL))
        return ERROR_INVALID_PARAMETER;
    if (IsRoot(hKey))
        return ERROR_FILE_NOT_FOUND;
    KeySlot *s = SlotOf(hKey);
    if (s == NULL)
        return ERROR_INVALID_HANDLE;
    if (!(s->access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    Hive &hive = g_hives[s->hive];
    LONG status = ERROR_SUCCESS;
    hive_value_h v = FindValue(hive, s->node, lpValueName, NULL, &status);
    if (v == 0)
        return status;
    DWORD t;
    size_t len;
    char *raw = ValueData(hive, v, &t, &len);
    if (raw == NULL)
        return HivexFailure(hive);
    const unsigned char *data = (const unsigned char *)raw;
    size_t needed = IsStringType((DWORD)t) ? Utf16leToCp1252(data, len, NULL, 0) : len;
    if (needed > 0xFFFFFFFFu) {
        free(raw);
        return ERROR_MORE_DATA;
    }
    if (lpType)
        *lpType = (DWORD)t;
    status = ERROR_SUCCESS;
    if (lpData != NULL) {
        if (*lpcbData < needed) {
            status = ERROR_MORE_DATA;
        } else if (IsStringType((DWORD)t)) {
            Utf16leToCp1252(data, len, lpData, *lpcbData);
        } else if (needed > 0) {
            memcpy(lpData, data, needed);
        }
    }
    if (lpcbData)
        *lpcbData = (DWORD)needed;
    free(raw);
    return status;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData)
{
    if (Reserved != 0 || (lpData == NULL && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    if (IsRoot(hKey))
        return ERROR_ACCESS_DENIED;
    KeySlot *s = SlotOf(hKey);
    if (s == NULL)
        return ERROR_INVALID_HANDLE;
    if (!(s->access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    Hive &hive = g_hives[s->hive];
    if (!hive.writable)
        return ERROR_ACCESS_DENIED;
    if (hive.damaged)
        return ERROR_REGISTRY_CORRUPT;
    const char *name = lpValueName ? lpValueName : "";
    if (strlen(name) > kMaxValueName)
        return ERROR_INVALID_PARAMETER;
    // hivex refuses values of a million bytes or more.
    if ((IsStringType(dwType) ? 2 * (uint64_t)cbData : (uint64_t)cbData) >= kMaxValueData)
        return ERROR_INVALID_PARAMETER;

    LONG status = ERROR_SUCCESS;
    try {
        std::string key;
        hive_value_h existing = FindValue(hive, s->node, name, &key, &status);
        if (existing == 0 && status != ERROR_FILE_NOT_FOUND)
            return status;
        if (existing == 0) {
            std::vector<char> utf8(strlen(name) * 3 + 1);
            if (!Cp1252ToUtf8(name, utf8.data(), utf8.size()))
                return ERROR_INVALID_PARAMETER;
            key.assign(utf8.data());
        }
        std::vector<unsigned char> stored;
        if (IsStringType(dwType)) {
            stored.resize((size_t)cbData * 2);
            Cp1252ToUtf16le(lpData, cbData, stored.data());
        } else if (cbData > 0) {
            stored.assign(lpData, lpData + cbData);
        }
        hive_set_value value;
        value.key = &key[0];
        value.t = (hive_type)dwType;
        value.len = stored.size();
        value.value = stored.empty() ? (char *)"" : (char *)stored.data();
        errno = 0;
        if (hivex_node_set_value(hive.h, s->node, &value, 0) != 0) {
            // As for a key that could not be added: never written after this.
            hive.damaged = true;
            return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
        }
        hive.dirty = true;
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime)
{
    if (lpName == NULL || lpcchName == NULL || lpReserved != NULL)
        return ERROR_INVALID_PARAMETER;
    char converted[kMaxKeyName * 3 + 1];
    const char *utf8 = NULL;
    size_t utf8Size = 0;
    int64_t stamp = 0;
    if (IsRoot(hKey)) {
        // The loaded hives, in the registry's order.
        DWORD n = 0;
        for (int i : {kOfflineSoftware, kOfflineSystem}) {
            if (!g_hives[i].loaded)
                continue;
            if (n++ == dwIndex) {
                utf8 = kHiveNames[i];
                utf8Size = strlen(utf8);
            }
        }
        if (utf8 == NULL)
            return ERROR_NO_MORE_ITEMS;
    } else {
        KeySlot *s = SlotOf(hKey);
        if (s == NULL)
            return ERROR_INVALID_HANDLE;
        if (!(s->access & KEY_ENUMERATE_SUB_KEYS))
            return ERROR_ACCESS_DENIED;
        Hive &hive = g_hives[s->hive];
        LONG status = ERROR_SUCCESS;
        const std::vector<Child> *kids = ChildrenOf(hive, s->node, &status);
        if (kids == NULL)
            return status;
        if (dwIndex >= kids->size())
            return ERROR_NO_MORE_ITEMS;
        const Child &c = (*kids)[dwIndex];
        utf8 = c.name.data();
        utf8Size = c.name.size();
        stamp = hivex_node_timestamp(hive.h, c.node);
    }
    size_t len = Utf8ToCp1252(utf8, utf8Size, converted, sizeof converted);
    if (len >= sizeof converted || len + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    memcpy(lpName, converted, len + 1);
    *lpcchName = (DWORD)len;
    if (lpClass != NULL && lpcchClass != NULL && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != NULL) {
        uint64_t ft = stamp > 0 ? (uint64_t)stamp : 0;
        lpftLastWriteTime->dwLowDateTime = (DWORD)ft;
        lpftLastWriteTime->dwHighDateTime = (DWORD)(ft >> 32);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (IsRoot(hKey))
        return ERROR_SUCCESS;
    KeySlot *s = SlotOf(hKey);
    if (s == NULL)
        return ERROR_INVALID_HANDLE;
    s->used = false;
    Hive &hive = g_hives[s->hive];
    hive.openKeys--;
    // The last key into a changed hive: this is the point where a run's
    // changes are complete, so they go to disk now, once.
    if (hive.openKeys == 0 && hive.dirty) {
        if (!CommitHive(hive, g_commitMessage, sizeof g_commitMessage))
            return ERROR_CANTWRITE;
        g_commitMessage[0] = '\0';
    }
    return ERROR_SUCCESS;
}

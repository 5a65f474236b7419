// The Windows folders of a disk image: every file system looked at, by the
// same rule as a drive root (the top-level folder that holds
// system32/config/system), and boot.ini's default among several.
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

} // namespace guest_parts

#endif

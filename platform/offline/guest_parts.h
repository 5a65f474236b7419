// The pieces of a disk image's repair (guest_image.cpp), for its files
// only: libguestfs as loaded (guest_library.cpp), the Windows folders found
// on the image (guest_find.cpp), and the shadow of the installation
// (guest_shadow.cpp).
#ifndef TESSARIL_PLATFORM_OFFLINE_GUEST_PARTS_H
#define TESSARIL_PLATFORM_OFFLINE_GUEST_PARTS_H

#include "platform/offline/guest_image.h"

#include <guestfs.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace guest_parts {

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

extern Guestfs g_api;
extern guestfs_h *g_g;
// What qemu and the appliance said last (the error of a launch that fails is
// only there: libguestfs's own error says "see earlier error messages").
extern std::string g_said;

// Loads the library once; false, with the loader's words, when it cannot be.
bool LoadGuestfs(char *detail, size_t size);
// libguestfs's words for the last call that failed.
void LastError(char *detail, size_t size);
// Whether those words say that another process holds the image.
bool InUse(const char *detail);
void FreeStrings(char **list);
void KeepMessage(guestfs_h *, void *, uint64_t, int, int, const char *buf, size_t size,
                 const uint64_t *, size_t);
std::string Join(const std::string &folder, const std::string &name);
// text into out, cut to fit.
void Copy(char *out, size_t size, const char *text);

// An entry of a guest folder.
struct Entry {
    std::string name;
    char type; // readdir's: 'd', 'r', 'l', ...
};

bool ReadFolder(const std::string &folder, std::vector<Entry> *entries);
const Entry *Match(const std::vector<Entry> &entries, const char *name);
bool Find(const std::string &folder, const char *name, Entry *out);

struct Candidate {
    ImageFolder at;
    int partition; // its partition's number, 0 for a bare volume
};

// Finds every Windows folder on the image's file systems, each mounted
// read-only in turn, and boot.ini's default from the first that has one.
bool FindCandidates(std::vector<Candidate> *found, char *named, size_t namedSize, int *bootPartition,
                    char *detail, size_t size);
// The candidate a name given for it takes: "FOLDER" or "DEVICE/FOLDER".
int ByName(const std::vector<Candidate> &found, const char *name, bool *several);
// The candidate boot.ini's default names.
int ByBootIni(const std::vector<Candidate> &found, const char *named, int partition);

// The shadow's private folder, and the guest paths of the installation
// open, with names spelt as in the image.
extern char g_root[PATH_MAX];    // the shadow's private folder
extern int g_cleaner;       // the pipe whose end tells the cleaner to remove it
extern pid_t g_cleanerPid;

// Guest paths of the installation open, with names spelt as in the image.
extern std::string g_windows;    // "/WINDOWS"
extern std::string g_config;     // "/WINDOWS/system32/config"
extern std::string g_hiveLeaf;   // "system"
extern std::string g_temp;       // "/WINDOWS/Temp", when it is a folder


void RemoveTree(const char *path);
// A process of its own that removes the shadow when this one ends.
void StartCleaner(const char *root);
void StopCleaner(void);
// Lays out the shadow of the Windows folder at guest path windows.
bool LayOutShadow(const std::string &windows, const std::string &host, bool writable, char *detail,
                  size_t size);

} // namespace guest_parts

#endif

// libguestfs, loaded at run time: its calls, its messages, its errors in words.
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

Guestfs g_api;
guestfs_h *g_g = NULL;
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

} // namespace guest_parts

#endif

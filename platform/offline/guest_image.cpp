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
#include "platform/offline/guest_parts.h"
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

using namespace guest_parts;

namespace {

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

// A Windows installation inside a disk image (raw, qcow2, VMDK, VDI, VHD;
// partitioned or a bare volume), reached through libguestfs, which parses the
// image's file systems in a small appliance of its own and never in the
// host's kernel, and needs no root. libguestfs is loaded at run time, so the
// program works on folders without it.
//
// The installation is repaired through a shadow of it: a private folder under
// $TMPDIR (mode 700) laid out as the installation is, where the files the
// repair reads are copied from the image (the SYSTEM and SOFTWARE hives; the
// drivers, the hive's log files and Temp by name and kind only), so that the
// offline store works on it with the same code and rules as on a mounted
// disk. What the run saved there is then put back into the image, crash-safe
// as on a mounted disk: the new hive uploaded as a new file beside the old
// one, flushed, and renamed over it.
#ifndef TESSARIL_PLATFORM_OFFLINE_GUEST_IMAGE_H
#define TESSARIL_PLATFORM_OFFLINE_GUEST_IMAGE_H

#include "platform/offline/windows_folder.h"

#include <limits.h>
#include <stddef.h>

#include <string>

// Whether path names a disk image rather than a folder: a regular file or a
// block device (following a link).
bool IsDiskImage(const char *path);

// The smallest image file taken for one: an NTFS volume that holds a Windows
// installation is hundreds of times this.
const long long kMinImageBytes = 1 << 20;

// Why an image cannot be used.
enum ImageRefusal {
    kImageOpened = 0,
    kImageNotBuilt,     // this build has no image support (no libguestfs header)
    kImageNoLibrary,    // libguestfs.so.0 cannot be loaded (detail: the loader's words)
    kImageTooSmall,     // a file too small to hold a volume with Windows on it (size)
    kImageUnreadable,   // the image cannot be opened for reading (error)
    kImageNoScratch,    // no private folder can be made under $TMPDIR (error)
    kImageInUse,        // another process holds the image (qemu's image lock; detail)
    kImageNoAppliance,  // libguestfs cannot start its appliance (detail)
    kImageNoWindows,    // no file system of the image holds a Windows folder
    kImageSeveral,      // several, and boot.ini's default does not say which
    kImageNotNamed,     // the folder named (ImageOptions::windows) is none of them
    kImageNotWritable,  // the file system cannot be mounted for writing (detail)
    kImageReadFailed    // the installation could not be read from the image (detail)
};

// How the Windows folder was chosen.
enum ImageFinding { kImageTheOne = 0, kImageByBootIni, kImageByName };

// A Windows folder of the image: its file system and its folder at the top
// level of it.
struct ImageFolder {
    char device[64] = "";                  // /dev/sda1, or /dev/sda for a bare volume
    char folder[kMaxFolderName + 1] = "";  // WINDOWS
};

struct ImageOptions {
    bool readOnly = false;      // add the image read-only and write nothing to it
    const char *windows = NULL; // the Windows folder to take, when several: "WINNT" or
                                // "/dev/sda2/WINNT" (names without regard to case)
};

struct ImageOpenReport {
    ImageRefusal refusal = kImageOpened;
    ImageFinding finding = kImageTheOne;
    char image[PATH_MAX] = "";  // the image, resolved
    char format[32] = "";       // its format as libguestfs found it
    int error = 0;              // kImageUnreadable, kImageNoScratch: errno
    long long size = 0;         // kImageTooSmall: its size
    char detail[1024] = "";     // libguestfs's own words for what failed
    int count = 0;              // the Windows folders found, the first of them:
    ImageFolder found[kMaxListedFolders];
    char named[256] = "";       // the folder boot.ini's default names, if any
    char asked[300] = "";       // the folder ImageOptions::windows named, if any
    ImageFolder chosen;         // the one taken
    char shadow[PATH_MAX] = ""; // the host folder that stands for it
    char shown[PATH_MAX + 400] = ""; // the Windows folder as messages show it:
                                     // "/images/xp.img:/dev/sda1/WINDOWS"
};

// Opens the image at path through libguestfs (one appliance start), finds the
// Windows folder on its file systems by the rule of a drive root
// (windows_folder.h: the top-level folder that holds system32/config/system,
// boot.ini's default among several; names without regard to case, no link
// followed), mounts its file system (read-only with options.readOnly) and
// lays out the shadow. True with report->shadow set; false with the image
// released and report saying why.
bool OpenGuestImage(const char *path, const ImageOptions &options, ImageOpenReport *report);

// Whether an image is open.
bool GuestImageOpen(void);

// What the run left in the shadow to put back into the image.
struct ImagePutBack {
    bool hive = false;      // the SYSTEM hive was saved
    const char *kept = "";  // the name its old file was kept under beside it ("" none)
};

// The step of putting the hive back that failed.
enum ImageSaveStep {
    kImageSaveNoStep = 0,
    kImageSaveUploading,  // writing the new hive into the image beside the old one
    kImageSaveFlushing,   // flushing it
    kImageSaveKeepingOld, // keeping the old hive beside it
    kImageSaveRenaming,   // putting it in place of the old one
    kImageSaveSteps
};

struct ImageSaveReport {
    ImageSaveStep failed = kImageSaveNoStep;
    char detail[1024] = "";  // libguestfs's words for the failure
    bool logFailed = false;  // the log could not be put back (logDetail says why)
    char logDetail[1024] = "";
    char shown[PATH_MAX + 400] = ""; // the hive, as messages show it
};

// Puts the SYSTEM hive the run saved in the shadow into the image: a new
// file beside the old one, flushed; the old one kept under what.kept by a
// hard link or a flushed copy; the new one renamed over it; flushed. On
// failure the image holds the old hive as it was and no new file beside it.
bool PutBackGuestImage(const ImagePutBack &what, ImageSaveReport *report);

// Puts the log the run wrote in the shadow (its host path; "" none) into the
// image's Temp folder, rewritten as on a mounted disk; false, with
// report->logFailed and logDetail, when it cannot be written.
bool PutBackGuestLog(const char *hostLog, ImageSaveReport *report);

// Unmounts the image, shuts the appliance down (which flushes the image;
// false, with detail, when that fails) and removes the shadow.
bool CloseGuestImage(char *detail = NULL, size_t size = 0);

// text with every host path of the shadow written as the image's path
// ("/tmp/tessaril-image-Ab12Cd/WINDOWS/Temp" as "/images/xp.img:/dev/sda1/WINDOWS/Temp").
std::string ShowImagePaths(const std::string &text);

// The Windows folder's path inside its file system ("/WINDOWS"), and the
// file system, of the image open.
const ImageOpenReport *GuestImageReport(void);

#endif

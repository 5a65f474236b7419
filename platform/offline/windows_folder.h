// Which folder of a mounted disk is the Windows folder of the installation to
// repair.
#ifndef TESSARIL_PLATFORM_OFFLINE_WINDOWS_FOLDER_H
#define TESSARIL_PLATFORM_OFFLINE_WINDOWS_FOLDER_H

#include <limits.h>
#include <stddef.h>

// The installations a report names; more are counted, not named.
const int kMaxListedFolders = 16;
// A Windows folder is named by one component the wizard can put after "C:\".
const size_t kMaxFolderName = 200;

// What the search found.
enum WindowsFolderFinding {
    kFolderGiven = 0,  // path is the Windows folder itself
    kFolderTheOne,     // path is a drive root that holds one Windows folder
    kFolderByBootIni,  // a drive root with several: boot.ini's default names one
    kFolderNotThere,   // path cannot be looked at, or is no folder: error says why
    kFolderNone,       // a folder that holds no installation, nor does its top level
    kFolderSeveral     // a drive root with several, and boot.ini does not say which
};

struct WindowsFolderReport {
    WindowsFolderFinding finding = kFolderGiven;
    const char *path = "";    // as given
    int error = 0;            // kFolderNotThere: errno (ENOTDIR: not a folder, EACCES:
                              // may not be entered)
    char host[PATH_MAX] = ""; // path, resolved
    char folder[PATH_MAX] = ""; // the Windows folder taken
    int count = 0;            // the Windows folders on a drive root,
    char names[kMaxListedFolders][kMaxFolderName + 1] = {}; // the first of them in byte order
    char named[256] = "";     // the folder boot.ini's default names, if any
};

// path names either the Windows folder itself (a folder with a system32 in
// it: what is wrong below that is for the hive loader to say) or the root of
// the mounted system drive, whose top-level folders are searched for one that
// holds system32/config/system; names match without regard to case
// at every level and symbolic links below path are not followed. When the
// drive holds several, the one that boot.ini's "default=" line names is
// taken.
//
// True with report->folder set to the Windows folder's absolute host path
// (and the finding telling how it was chosen). False when path is not a
// folder, holds no installation, or holds several and boot.ini does not say
// which (or the folder's path is too long).
bool FindWindowsFolder(const char *path, WindowsFolderReport *report);

// The value of boot.ini's "default=" line in text (which is changed), for
// example "multi(0)disk(0)rdisk(0)partition(1)\WINDOWS", into out; false when
// no such line has one.
bool BootIniDefaultPath(char *text, char *out, size_t size);

#endif

// Which folder of a mounted disk is the Windows folder of the installation to
// repair.
#ifndef TESSARIL_PLATFORM_OFFLINE_WINDOWS_FOLDER_H
#define TESSARIL_PLATFORM_OFFLINE_WINDOWS_FOLDER_H

#include <stddef.h>

// path names either the Windows folder itself (a folder with a system32 in
// it: what is wrong below that is for the hive loader to say) or the root of
// the mounted system drive, whose top-level folders are searched for one that
// holds system32/config/system; names match without regard to case
// at every level and symbolic links below path are not followed. When the
// drive holds several, the one that boot.ini's "default=" line names is
// taken.
//
// True with folder set to the Windows folder's absolute host path (and note
// set to what was chosen when path was a drive root, else empty). False with
// note holding the message for the user: path is not a folder, holds no
// installation, or holds several and boot.ini does not say which.
bool FindWindowsFolder(const char *path, char *folder, size_t folderSize, char *note,
                       size_t noteSize);

#endif

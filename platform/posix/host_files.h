// Windows paths onto a host directory tree, for the backends that do not run
// on Windows. One Windows directory (for example "C:\WINDOWS") stands for one
// host directory; a path below it is resolved one component at a time,
// without regard to case, as Windows would, and never through a symbolic
// link or a "." or ".." component. Paths outside the Windows directory are
// not reachable at all.
#ifndef TESSARIL_PLATFORM_POSIX_HOST_FILES_H
#define TESSARIL_PLATFORM_POSIX_HOST_FILES_H

#include "platform/files.h"

#include <string>

// The part of a Windows path after windowsDirectory ("" for the directory
// itself), or NULL when the path does not lie below it.
const char *HostPathBelow(const char *windowsDirectory, const char *path);

// Whether one component of a Windows path names a file or folder: 1 to 255
// characters, not "." or "..", no "/" or ":".
bool HostPathComponentValid(const char *c, size_t n);

// Sets the mapping. Both strings are copied; false when either is too long.
bool HostFilesSetRoot(const char *windowsDirectory, const char *hostDirectory);

// The Windows directory as set, for GetWindowsDirectoryA and friends.
const char *HostFilesWindowsDirectory(void);

// CreateFileA's shape, on the host tree. Only regular files are opened.
// GENERIC_READ with OPEN_EXISTING opens for reading; FILE_APPEND_DATA or
// GENERIC_WRITE with OPEN_ALWAYS opens for appending, creating the file.
HANDLE HostCreateFile(LPCSTR path, DWORD access, DWORD disposition);
BOOL HostWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written);
// FALSE when the handle is not an open file of this layer.
BOOL HostCloseFile(HANDLE file);
BOOL HostDeleteFile(LPCSTR path);

// With on, nothing is written to the host tree from now on: a file opened
// for writing takes what is written and keeps none of it, and a file deleted
// stays. Opening, finding and failing go on as they would.
void HostFilesWriteNothing(bool on);
// How many files are open now.
int HostOpenFileCount(void);

// Fills dirfd/leaf for an existing folder and the (case-matched, when it
// exists) name of the last component. The caller closes *dirfd. On failure
// errno is ELOOP when a folder on the way is a symbolic link, ENOENT when one
// is missing. found, when given, receives the file's host path: the host
// folder as set, then each name as the folder holds it.
bool HostOpenParent(const char *windowsPath, int *dirfd, char *leaf, size_t leafSize,
                    std::string *found = NULL);
// The same for a path below a host folder given here ("system32\\config"),
// whatever the mapping; found, when given, is appended to.
bool HostOpenParentIn(const char *hostDirectory, const char *relativePath, int *dirfd, char *leaf,
                      size_t leafSize, std::string *found = NULL);

#endif

// Directories and files: where Windows lives, deleting a file, and the
// open/write/close calls the repair log and the driver file test use.
#ifndef TESSARIL_PLATFORM_FILES_H
#define TESSARIL_PLATFORM_FILES_H

#include "platform/base.h"

#ifndef _WIN32
typedef struct _OVERLAPPED *LPOVERLAPPED;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260

// GetWindowsDirectoryA, GetSystemDirectoryA, DeleteFileA, CreateFileA,
// WriteFile.
TESSARIL_FILES_CALLS(TESSARIL_DECLARE_CALL, TESSARIL_DECLARE_PASS)
#endif // _WIN32

// True when the file can be opened for reading (and it is closed again at
// once). A file that exists but cannot be opened that way counts as missing.
// The test looks at the files the system itself loads: a 32-bit program on
// 64-bit Windows sees its own system folder in place of the native one until
// the redirection is turned off around the test.
bool FileExists(const char *path);

// Turns the file system redirection of the calling thread off, where the
// process has one: true, with state filled for ResumeFileRedirection, when it
// was turned off; false when there is none to turn off (every backend but
// the Windows one, and Windows without WOW64).
bool SuspendFileRedirection(void **state);
// Turns the redirection back on after SuspendFileRedirection returned true.
void ResumeFileRedirection(void *state);

#endif

// Files below the Windows directory held in memory, behind the same calls and
// with the same answers as the host files of platform/posix/host_files.h:
// paths resolved without regard to case, one component at a time, never
// through "." or ".."; a file is created only in a folder that exists; only
// files, never folders, are opened or deleted; a deleted file that is still
// open takes writes until it is closed.
#ifndef TESSARIL_TESTING_MEMORY_FILES_H
#define TESSARIL_TESTING_MEMORY_FILES_H

#include <string>

#include "platform/files.h"

// Forgets every file, folder and handle; the Windows directory is empty
// until MemoryFilesSetRoot.
void MemoryFilesClear();
// The Windows directory the paths lie below.
void MemoryFilesSetRoot(const char *windowsDirectory);

HANDLE MemoryCreateFile(LPCSTR path, DWORD access, DWORD disposition);
BOOL MemoryWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written);
BOOL MemoryCloseFile(HANDLE file);
BOOL MemoryDeleteFile(LPCSTR path);
int MemoryOpenFileCount();

// For the tests' own setting up and reading back: the folders on the way are
// made; a folder is removed with everything below it.
bool MemoryPutFile(const std::string &windowsPath, const std::string &content);
bool MemoryReadFile(const std::string &windowsPath, std::string *content);
void MemoryMakeFolder(const std::string &windowsPath);
void MemoryRemoveFolder(const std::string &windowsPath);

#endif

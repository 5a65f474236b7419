// The in-memory platform: a registry store, boxes, a version, a token and a
// restart held in memory, and files in a temporary folder of the host (or,
// when asked, in memory), for running the whole wizard in tests. The registry calls are the registry
// front's, over the in-memory store; every call can be made to fail on
// purpose through the fault injection layer, by key path, value name or file
// path, or by its place in the run.
#ifndef TESSARIL_TESTING_MEMORY_PLATFORM_H
#define TESSARIL_TESTING_MEMORY_PLATFORM_H

#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/token.h"
#include "platform/version.h"
#include "testing/fault_injection.h"

namespace memplat {

// Where the files below the Windows directory live: in a temporary folder of
// the host, through the host file calls, or in a table in memory that answers
// the same calls the same way (for the fuzzer, which must not touch the disk).
enum class Files { Host, Memory };

// Clears every store, record and fault, mounts an empty in-memory store, and
// makes a new, empty folder for files that stands for "C:\WINDOWS", with
// "Temp" and "system32\drivers" in it. The folder of the previous reset is
// removed.
void Reset(Files files = Files::Host);
// Clears the registry, the records and the faults, and keeps the files.
void ResetRegistry();
// Mounts a new, empty in-memory store behind the registry front.
void MountMemoryStore();

using faults::Op;
using faults::FailOn;
using faults::FailAt;
using faults::OperationCount;
using faults::OperationLog;

// ---- Registry (paths below HKEY_LOCAL_MACHINE, "\" separators) ----
// These work through the registry front, on whichever store it has mounted,
// and are neither counted nor failed; ValueNames and Dump read the in-memory
// store.
void AddKey(const std::string &path);
void PutValue(const std::string &path, const std::string &name, DWORD type,
              const std::string &data);
void PutDword(const std::string &path, const std::string &name, DWORD value);
bool KeyExists(const std::string &path);
// False when the value is absent.
bool GetValue(const std::string &path, const std::string &name, DWORD *type, std::string *data);
// Names in the stored spelling, in the registry's order.
std::vector<std::string> ValueNames(const std::string &path);
std::vector<std::string> SubkeyNames(const std::string &path);
// The whole registry as text, one line per key and value, for comparing
// end states.
std::string Dump();

// Registry and file handles and token handles open now.
int OpenHandleCount();

// ---- Boxes ----
struct Box {
    std::string text;
    std::string caption;
    UINT flags;
    HWND owner;
    bool shown; // false when the box could not be shown (the call failed)
};
// Every box asked for, shown or not. Answers given in order; with none left a Yes/No box answers IDNO and an
// OK box IDOK.
void QueueAnswers(const std::vector<int> &answers);
const std::vector<Box> &Boxes();

// ---- Version ----
struct Version {
    DWORD platformId;
    DWORD major;
    DWORD minor;
    DWORD build;
    bool extendedFails;
};
void SetVersion(const Version &version);

// ---- Directories and files ----
// What GetWindowsDirectoryA and GetSystemDirectoryA report; the files
// below the Windows directory live in the host folder of the last reset.
void SetDirectories(const std::string &windowsDirectory, const std::string &systemDirectory);
// Files by their Windows path below the Windows directory, as spelt.
void PutFile(const std::string &windowsPath, const std::string &content);
bool ReadFile(const std::string &windowsPath, std::string *content);
void RemoveFolder(const std::string &windowsPath);

// ---- Token and restart ----
// The privilege and restart calls made, one line each.
const std::vector<std::string> &TokenCalls();

} // namespace memplat

#endif

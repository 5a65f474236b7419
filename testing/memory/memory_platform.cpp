// The in-memory platform: boxes answered from a script, a settable version,
// recorded privilege and restart calls, files in a temporary host folder or in
// memory, and
// the in-memory registry store behind the registry front, all counted and
// failed on purpose through the fault injection layer.
#include "testing/memory/memory_platform.h"

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/emulated/registry_front.h"
#include "platform/posix/host_files.h"
#include "testing/memory/memory_files.h"

namespace memplat {
namespace {

using faults::Fails;

struct State {
    std::vector<int> answers;
    size_t nextAnswer = 0;
    std::vector<Box> boxes;
    Version version{VER_PLATFORM_WIN32_NT, 5, 1, 2600, false};
    std::string windowsDirectory = "C:\\WINDOWS";
    std::string systemDirectory = "C:\\WINDOWS\\system32";
    Files files = Files::Host;
    std::string hostRoot; // empty when the files are in memory
    std::vector<std::string> tokenCalls;
    int openTokens = 0;
};

State &S()
{
    static State state;
    return state;
}

int CompareNames(const std::string &a, const std::string &b) { return lstrcmpiA(a.c_str(), b.c_str()); }

// ------------------------------------------------------------- host files

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    if (remove(path) != 0)
        fprintf(stderr, "memory platform: could not remove %s: %s\n", path, strerror(errno));
    return 0;
}

// Removes a host folder and everything below it, never following a link.
void RemoveTree(const std::string &path)
{
    if (!path.empty())
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool InMemory() { return S().files == Files::Memory; }

// The host path of a Windows path below the Windows directory, as spelt.
bool HostPath(const std::string &windowsPath, std::string *out)
{
    const std::string &dir = S().windowsDirectory;
    if (windowsPath.size() < dir.size() || CompareNames(windowsPath.substr(0, dir.size()), dir) != 0)
        return false;
    std::string rest = windowsPath.substr(dir.size());
    std::replace(rest.begin(), rest.end(), '\\', '/');
    *out = S().hostRoot + rest;
    return true;
}

void MakeFolders(const std::string &hostPath)
{
    for (size_t at = S().hostRoot.size() + 1; at != std::string::npos;) {
        at = hostPath.find('/', at);
        std::string part = hostPath.substr(0, at);
        mkdir(part.c_str(), 0755);
        if (at != std::string::npos)
            at++;
    }
}

void FillDirectory(const std::string &value, LPSTR buffer, UINT size, UINT *result)
{
    if (value.size() + 1 > size) {
        *result = (UINT)value.size() + 1;
        return;
    }
    memcpy(buffer, value.c_str(), value.size() + 1);
    *result = (UINT)value.size();
}

const uintptr_t kTokenHandle = 0x7000;
const uintptr_t kProcessHandle = (uintptr_t)-1;

// The folder of the last test is removed when the test program ends.
void RemoveLastHostRoot()
{
    RemoveTree(S().hostRoot);
}

} // namespace

// ------------------------------------------------------------ control API

void Reset(Files files)
{
    State &s = S();
    // Registered after the state exists, so it runs before the state is gone.
    static bool removedAtExit = atexit(RemoveLastHostRoot) == 0;
    (void)removedAtExit;
    RemoveTree(s.hostRoot);
    s = State();
    s.files = files;
    faults::Reset();
    MountMemoryStore();
    MemoryFilesClear();
    if (files == Files::Memory) {
        HostFilesSetRoot(s.windowsDirectory.c_str(), "");
        MemoryFilesSetRoot(s.windowsDirectory.c_str());
        MemoryMakeFolder(s.windowsDirectory + "\\Temp");
        MemoryMakeFolder(s.windowsDirectory + "\\system32\\drivers");
        return;
    }
    char pattern[] = "/tmp/tessaril-test-XXXXXX";
    const char *tmp = getenv("TMPDIR");
    std::string base = tmp && *tmp ? std::string(tmp) + "/tessaril-test-XXXXXX" : pattern;
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        fprintf(stderr, "memory platform: mkdtemp failed: %s\n", strerror(errno));
        abort();
    }
    s.hostRoot = name.data();
    HostFilesSetRoot(s.windowsDirectory.c_str(), s.hostRoot.c_str());
    MakeFolders(s.hostRoot + "/Temp");
    MakeFolders(s.hostRoot + "/system32/drivers");
}

void ResetRegistry()
{
    State &s = S();
    State fresh;
    fresh.windowsDirectory = s.windowsDirectory;
    fresh.systemDirectory = s.systemDirectory;
    fresh.files = s.files;
    fresh.hostRoot = s.hostRoot;
    s = std::move(fresh);
    faults::Reset();
    MountMemoryStore();
}

// The registry as the tests set it up and read it back: through the front,
// below the fault layer, so that neither counts nor fails.
namespace {

const RegistryCalls &Front() { return *RegistryFrontCalls(); }

HKEY OpenPath(const std::string &path, bool create)
{
    HKEY key = nullptr;
    LONG status = create ? Front().createKey(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                             nullptr)
                         : Front().openKey(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

void Close(HKEY key)
{
    if (key != HKEY_LOCAL_MACHINE)
        Front().closeKey(key);
}

} // namespace

void AddKey(const std::string &path)
{
    HKEY key = OpenPath(path, true);
    if (!key)
        abort();
    Close(key);
}

void PutValue(const std::string &path, const std::string &name, DWORD type, const std::string &data)
{
    HKEY key = OpenPath(path, true);
    if (!key || Front().setValue(key, name.c_str(), 0, type, (const BYTE *)data.data(),
                                 (DWORD)data.size()) != ERROR_SUCCESS)
        abort();
    Close(key);
}

void PutDword(const std::string &path, const std::string &name, DWORD value)
{
    std::string data;
    for (int i = 0; i < 4; i++)
        data += (char)((value >> (8 * i)) & 0xFF);
    PutValue(path, name, REG_DWORD, data);
}

bool KeyExists(const std::string &path)
{
    HKEY key = OpenPath(path, false);
    if (key)
        Close(key);
    return key != nullptr;
}

bool GetValue(const std::string &path, const std::string &name, DWORD *type, std::string *data)
{
    HKEY key = OpenPath(path, false);
    if (!key)
        return false;
    DWORD t = 0, size = 0;
    LONG status = Front().queryValue(key, name.c_str(), nullptr, &t, nullptr, &size);
    std::string bytes(size, '\0');
    if (status == ERROR_SUCCESS && size > 0)
        status = Front().queryValue(key, name.c_str(), nullptr, &t, (BYTE *)&bytes[0], &size);
    Close(key);
    if (status != ERROR_SUCCESS)
        return false;
    if (type)
        *type = t;
    if (data)
        *data = bytes.substr(0, size);
    return true;
}

std::vector<std::string> SubkeyNames(const std::string &path)
{
    std::vector<std::string> names;
    HKEY key = OpenPath(path, false);
    if (!key)
        return names;
    char name[256];
    DWORD size = sizeof name;
    for (DWORD i = 0; Front().enumKey(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                      ERROR_SUCCESS;
         i++, size = sizeof name)
        names.push_back(name);
    Close(key);
    return names;
}

int OpenHandleCount()
{
    return RegistryFrontOpenKeyCount() + HostOpenFileCount() + MemoryOpenFileCount() + S().openTokens;
}

void QueueAnswers(const std::vector<int> &answers)
{
    S().answers.insert(S().answers.end(), answers.begin(), answers.end());
}

const std::vector<Box> &Boxes() { return S().boxes; }

void SetVersion(const Version &version) { S().version = version; }

void SetDirectories(const std::string &windowsDirectory, const std::string &systemDirectory)
{
    S().windowsDirectory = windowsDirectory;
    S().systemDirectory = systemDirectory;
    HostFilesSetRoot(windowsDirectory.c_str(), S().hostRoot.c_str());
    MemoryFilesSetRoot(windowsDirectory.c_str());
}

void PutFile(const std::string &windowsPath, const std::string &content)
{
    if (InMemory()) {
        if (!MemoryPutFile(windowsPath, content))
            abort();
        return;
    }
    std::string host;
    if (!HostPath(windowsPath, &host))
        abort();
    MakeFolders(host.substr(0, host.rfind('/')));
    FILE *f = fopen(host.c_str(), "wb");
    if (!f)
        abort();
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

bool ReadFile(const std::string &windowsPath, std::string *content)
{
    if (InMemory())
        return MemoryReadFile(windowsPath, content);
    std::string host;
    if (!HostPath(windowsPath, &host))
        return false;
    FILE *f = fopen(host.c_str(), "rb");
    if (!f)
        return false;
    content->clear();
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        content->append(buffer, n);
    fclose(f);
    return true;
}

void RemoveFolder(const std::string &windowsPath)
{
    if (InMemory())
        return MemoryRemoveFolder(windowsPath);
    std::string host;
    if (HostPath(windowsPath, &host))
        RemoveTree(host);
}

const std::vector<std::string> &TokenCalls() { return S().tokenCalls; }

} // namespace memplat

using namespace memplat;

// ----------------------------------------------------------- the platform

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    State &s = S();
    bool fails = Fails(Op::MessageBox, lpCaption ? lpCaption : "");
    s.boxes.push_back(Box{lpText ? lpText : "", lpCaption ? lpCaption : "", uType, hWnd, !fails});
    if (fails)
        return 0;
    if (s.nextAnswer < s.answers.size())
        return s.answers[s.nextAnswer++];
    return (uType & 0xF) == MB_YESNO ? IDNO : IDOK;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    const Version &v = S().version;
    if (Fails(Op::GetVersion) || info == nullptr)
        return FALSE;
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA))
        return FALSE;
    if (size == sizeof(OSVERSIONINFOEXA) && v.extendedFails)
        return FALSE;
    memset((char *)info + sizeof(DWORD), 0, size - sizeof(DWORD));
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    info->dwPlatformId = v.platformId;
    return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (Fails(Op::WindowsDirectory))
        return 0;
    UINT result;
    FillDirectory(S().windowsDirectory, lpBuffer, uSize, &result);
    return result;
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (Fails(Op::SystemDirectory))
        return 0;
    UINT result;
    FillDirectory(S().systemDirectory, lpBuffer, uSize, &result);
    return result;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    if (Fails(Op::DeleteFile, lpFileName ? lpFileName : ""))
        return FALSE;
    return InMemory() ? MemoryDeleteFile(lpFileName) : HostDeleteFile(lpFileName);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE)
{
    if (Fails(Op::CreateFile, lpFileName ? lpFileName : ""))
        return INVALID_HANDLE_VALUE;
    return InMemory() ? MemoryCreateFile(lpFileName, dwDesiredAccess, dwCreationDisposition)
                      : HostCreateFile(lpFileName, dwDesiredAccess, dwCreationDisposition);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED)
{
    if (Fails(Op::WriteFile)) {
        if (lpNumberOfBytesWritten)
            *lpNumberOfBytesWritten = 0;
        return FALSE;
    }
    return InMemory() ? MemoryWriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten)
                      : HostWriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if ((uintptr_t)hObject == kTokenHandle && S().openTokens > 0) {
        S().openTokens--;
        S().tokenCalls.push_back("CloseHandle(token)");
        return TRUE;
    }
    return InMemory() ? MemoryCloseFile(hObject) : HostCloseFile(hObject);
}

HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)kProcessHandle; }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    char line[96];
    snprintf(line, sizeof line, "OpenProcessToken(%s, 0x%x)",
             (uintptr_t)ProcessHandle == kProcessHandle ? "self" : "other", (unsigned)DesiredAccess);
    S().tokenCalls.push_back(line);
    if (Fails(Op::OpenToken) || TokenHandle == nullptr)
        return FALSE;
    S().openTokens++;
    *TokenHandle = (HANDLE)kTokenHandle;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    std::string line = std::string("LookupPrivilegeValueA(") + (lpSystemName ? lpSystemName : "local") +
                       ", " + (lpName ? lpName : "") + ")";
    S().tokenCalls.push_back(line);
    if (Fails(Op::LookupPrivilege) || lpLuid == nullptr)
        return FALSE;
    lpLuid->LowPart = 19; // the shutdown privilege's number on NT
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    char line[160];
    snprintf(line, sizeof line,
             "AdjustTokenPrivileges(%s, disable=%d, count=%u, luid=%u, attributes=%u, %u, %s, %s)",
             (uintptr_t)TokenHandle == kTokenHandle ? "token" : "other", DisableAllPrivileges,
             NewState ? (unsigned)NewState->PrivilegeCount : 0,
             NewState ? (unsigned)NewState->Privileges[0].Luid.LowPart : 0,
             NewState ? (unsigned)NewState->Privileges[0].Attributes : 0, (unsigned)BufferLength,
             PreviousState ? "previous" : "no previous", ReturnLength ? "length" : "no length");
    S().tokenCalls.push_back(line);
    return Fails(Op::AdjustPrivileges) ? FALSE : TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    char line[64];
    snprintf(line, sizeof line, "ExitWindowsEx(0x%x, %u)", uFlags, (unsigned)dwReason);
    S().tokenCalls.push_back(line);
    return Fails(Op::ExitWindows) ? FALSE : TRUE;
}

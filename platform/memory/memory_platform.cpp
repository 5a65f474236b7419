#include "platform/memory/memory_platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "platform/posix/host_files.h"

namespace memplat {
namespace {

// ---------------------------------------------------------------- registry

struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

struct Key {
    std::string name;
    Key *parent = nullptr;
    std::vector<std::unique_ptr<Key>> children; // sorted, as the registry lists them
    std::vector<Value> values;                  // in the order of creation
};

int CompareNames(const std::string &a, const std::string &b) { return lstrcmpiA(a.c_str(), b.c_str()); }

struct KeyHandle {
    Key *key;
    REGSAM access;
};

struct Fault {
    Op op;
    std::string path;
    std::string valueName;
    LONG status;
};

struct State {
    std::unique_ptr<Key> root{new Key};
    std::map<uintptr_t, KeyHandle> keys;
    uintptr_t nextHandle = 0x100;
    std::vector<Fault> faults;
    long operations = 0;
    long failAt = 0;
    bool failLater = false;
    std::vector<std::string> operationLog;
    std::vector<int> answers;
    size_t nextAnswer = 0;
    std::vector<Box> boxes;
    Version version{VER_PLATFORM_WIN32_NT, 5, 1, 2600, false};
    std::string windowsDirectory = "C:\\WINDOWS";
    std::string systemDirectory = "C:\\WINDOWS\\system32";
    std::string hostRoot;
    std::vector<std::string> tokenCalls;
    int openTokens = 0;
};

State &S()
{
    static State state;
    return state;
}

const char *OpName(Op op)
{
    switch (op) {
    case Op::CreateKey: return "RegCreateKeyExA";
    case Op::OpenKey: return "RegOpenKeyExA";
    case Op::QueryValue: return "RegQueryValueExA";
    case Op::SetValue: return "RegSetValueExA";
    case Op::EnumKey: return "RegEnumKeyExA";
    case Op::MessageBox: return "MessageBoxA";
    case Op::GetVersion: return "GetVersionExA";
    case Op::WindowsDirectory: return "GetWindowsDirectoryA";
    case Op::SystemDirectory: return "GetSystemDirectoryA";
    case Op::DeleteFile: return "DeleteFileA";
    case Op::CreateFile: return "CreateFileA";
    case Op::WriteFile: return "WriteFile";
    case Op::OpenToken: return "OpenProcessToken";
    case Op::LookupPrivilege: return "LookupPrivilegeValueA";
    case Op::AdjustPrivileges: return "AdjustTokenPrivileges";
    case Op::ExitWindows: return "ExitWindowsEx";
    }
    return "?";
}

// Counts one call and tells whether it is to fail, and with which status.
bool Fails(Op op, const std::string &path, const std::string &valueName, LONG *status)
{
    State &s = S();
    s.operations++;
    std::string line = OpName(op);
    if (!path.empty())
        line += " " + path;
    if (!valueName.empty())
        line += " [" + valueName + "]";
    s.operationLog.push_back(line);
    if (s.failAt > 0 && (s.operations == s.failAt || (s.failLater && s.operations > s.failAt))) {
        *status = ERROR_ACCESS_DENIED;
        return true;
    }
    for (const Fault &f : s.faults) {
        if (f.op != op)
            continue;
        if (!f.path.empty() && CompareNames(f.path, path) != 0)
            continue;
        if (!f.valueName.empty() && CompareNames(f.valueName, valueName) != 0)
            continue;
        *status = f.status;
        return true;
    }
    return false;
}

bool Fails(Op op, const std::string &path = "", const std::string &valueName = "")
{
    LONG ignored;
    return Fails(op, path, valueName, &ignored);
}

std::string PathOf(const Key *key)
{
    std::string path;
    for (; key && key->parent; key = key->parent)
        path = path.empty() ? key->name : key->name + "\\" + path;
    return path;
}

std::string Join(const std::string &base, const char *sub)
{
    std::string tail = sub ? sub : "";
    if (base.empty())
        return tail;
    return tail.empty() ? base : base + "\\" + tail;
}

Key *Child(Key *key, const std::string &name)
{
    for (auto &c : key->children)
        if (CompareNames(c->name, name) == 0)
            return c.get();
    return nullptr;
}

Key *AddChild(Key *key, const std::string &name)
{
    std::unique_ptr<Key> child(new Key);
    child->name = name;
    child->parent = key;
    Key *raw = child.get();
    auto at = std::lower_bound(key->children.begin(), key->children.end(), name,
                               [](const std::unique_ptr<Key> &k, const std::string &n) {
                                   return CompareNames(k->name, n) < 0;
                               });
    key->children.insert(at, std::move(child));
    return raw;
}

// Splits a subkey path into its names. False for a name the registry would
// refuse (empty inside the path, or longer than 255 characters).
bool SplitPath(const char *sub, std::vector<std::string> *names)
{
    names->clear();
    if (sub == nullptr)
        return true;
    std::string current;
    for (const char *p = sub;; p++) {
        if (*p == '\\' || *p == '\0') {
            if (current.empty() && *p == '\\')
                return false;
            if (current.size() > 255)
                return false;
            if (!current.empty())
                names->push_back(current);
            current.clear();
            if (*p == '\0')
                return true;
        } else {
            current += *p;
        }
    }
}

Key *FindKey(Key *from, const std::vector<std::string> &names)
{
    for (const std::string &n : names) {
        from = Child(from, n);
        if (!from)
            return nullptr;
    }
    return from;
}

Key *FindPath(const std::string &path)
{
    std::vector<std::string> names;
    if (!SplitPath(path.c_str(), &names))
        return nullptr;
    return FindKey(S().root.get(), names);
}

Key *MakePath(const std::string &path)
{
    std::vector<std::string> names;
    SplitPath(path.c_str(), &names);
    Key *key = S().root.get();
    for (const std::string &n : names) {
        Key *next = Child(key, n);
        key = next ? next : AddChild(key, n);
    }
    return key;
}

// The key behind a handle: HKEY_LOCAL_MACHINE or one of ours.
KeyHandle *Lookup(HKEY handle)
{
    static KeyHandle machine;
    if (handle == HKEY_LOCAL_MACHINE) {
        machine.key = S().root.get();
        machine.access = KEY_ALL_ACCESS;
        return &machine;
    }
    auto it = S().keys.find((uintptr_t)handle);
    return it == S().keys.end() ? nullptr : &it->second;
}

HKEY NewHandle(Key *key, REGSAM access)
{
    State &s = S();
    uintptr_t id = s.nextHandle;
    s.nextHandle += 4;
    s.keys[id] = KeyHandle{key, access};
    return (HKEY)id;
}

Value *FindValue(Key *key, const char *name)
{
    std::string n = name ? name : "";
    for (Value &v : key->values)
        if (CompareNames(v.name, n) == 0)
            return &v;
    return nullptr;
}

void DumpKey(const Key *key, std::string *out)
{
    std::string path = PathOf(key);
    if (key->parent)
        *out += "[" + path + "]\n";
    for (const Value &v : key->values) {
        char head[32];
        snprintf(head, sizeof head, " type %u:", (unsigned)v.type);
        *out += "  \"" + v.name + "\"" + head;
        for (unsigned char c : v.data) {
            char b[4];
            snprintf(b, sizeof b, " %02x", c);
            *out += b;
        }
        *out += "\n";
    }
    for (const auto &c : key->children)
        DumpKey(c.get(), out);
}

// ------------------------------------------------------------- host files

void RemoveTree(const std::string &path)
{
    if (path.empty())
        return;
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "memory platform: could not remove %s\n", path.c_str());
}

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

} // namespace

// ------------------------------------------------------------ control API

void Reset()
{
    State &s = S();
    RemoveTree(s.hostRoot);
    s = State();
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
    fresh.hostRoot = s.hostRoot;
    s = std::move(fresh);
}

void AddKey(const std::string &path) { MakePath(path); }

void PutValue(const std::string &path, const std::string &name, DWORD type, const std::string &data)
{
    Key *key = MakePath(path);
    Value *v = FindValue(key, name.c_str());
    if (v) {
        v->type = type;
        v->data = data;
    } else {
        key->values.push_back(Value{name, type, data});
    }
}

void PutDword(const std::string &path, const std::string &name, DWORD value)
{
    std::string data;
    for (int i = 0; i < 4; i++)
        data += (char)((value >> (8 * i)) & 0xFF);
    PutValue(path, name, REG_DWORD, data);
}

bool KeyExists(const std::string &path) { return FindPath(path) != nullptr; }

bool GetValue(const std::string &path, const std::string &name, DWORD *type, std::string *data)
{
    Key *key = FindPath(path);
    Value *v = key ? FindValue(key, name.c_str()) : nullptr;
    if (!v)
        return false;
    if (type)
        *type = v->type;
    if (data)
        *data = v->data;
    return true;
}

std::vector<std::string> ValueNames(const std::string &path)
{
    std::vector<std::string> names;
    if (Key *key = FindPath(path))
        for (const Value &v : key->values)
            names.push_back(v.name);
    return names;
}

std::vector<std::string> SubkeyNames(const std::string &path)
{
    std::vector<std::string> names;
    if (Key *key = FindPath(path))
        for (const auto &c : key->children)
            names.push_back(c->name);
    return names;
}

std::string Dump()
{
    std::string out;
    DumpKey(S().root.get(), &out);
    return out;
}

int OpenHandleCount() { return (int)S().keys.size() + HostOpenFileCount() + S().openTokens; }

void FailOn(Op op, const std::string &path, const std::string &valueName, LONG status)
{
    S().faults.push_back(Fault{op, path, valueName, status});
}

long OperationCount() { return S().operations; }

void FailAt(long n, bool andLater)
{
    S().failAt = n;
    S().failLater = andLater;
}

const std::vector<std::string> &OperationLog() { return S().operationLog; }

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
}

const std::string &HostRoot() { return S().hostRoot; }

void PutFile(const std::string &windowsPath, const std::string &content)
{
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
    std::string host;
    if (HostPath(windowsPath, &host))
        RemoveTree(host);
}

const std::vector<std::string> &TokenCalls() { return S().tokenCalls; }

} // namespace memplat

using namespace memplat;

// ----------------------------------------------------------- the platform

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                            REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    KeyHandle *parent = Lookup(hKey);
    std::string path = parent ? Join(PathOf(parent->key), lpSubKey) : std::string(lpSubKey ? lpSubKey : "");
    LONG status;
    if (Fails(Op::CreateKey, path, "", &status))
        return status;
    if (!parent)
        return ERROR_INVALID_HANDLE;
    if (phkResult == nullptr || Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> names;
    if (!SplitPath(lpSubKey, &names))
        return ERROR_INVALID_PARAMETER;
    Key *key = parent->key;
    bool created = false;
    for (const std::string &n : names) {
        Key *next = Child(key, n);
        if (!next) {
            if (!(parent->access & KEY_CREATE_SUB_KEY))
                return ERROR_ACCESS_DENIED;
            next = AddChild(key, n);
            created = true;
        }
        key = next;
    }
    *phkResult = NewHandle(key, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    KeyHandle *parent = Lookup(hKey);
    std::string path = parent ? Join(PathOf(parent->key), lpSubKey) : std::string(lpSubKey ? lpSubKey : "");
    LONG status;
    if (Fails(Op::OpenKey, path, "", &status))
        return status;
    if (!parent)
        return ERROR_INVALID_HANDLE;
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> names;
    if (!SplitPath(lpSubKey, &names))
        return ERROR_FILE_NOT_FOUND;
    Key *key = FindKey(parent->key, names);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(key, samDesired);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    KeyHandle *handle = Lookup(hKey);
    LONG status;
    if (Fails(Op::QueryValue, handle ? PathOf(handle->key) : "", lpValueName ? lpValueName : "",
              &status))
        return status;
    if (!handle)
        return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (!(handle->access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    Value *v = FindValue(handle->key, lpValueName);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = v->type;
    DWORD size = (DWORD)v->data.size();
    if (lpcbData == nullptr)
        return ERROR_SUCCESS;
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData != nullptr)
        memcpy(lpData, v->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData)
{
    KeyHandle *handle = Lookup(hKey);
    LONG status;
    if (Fails(Op::SetValue, handle ? PathOf(handle->key) : "", lpValueName ? lpValueName : "",
              &status))
        return status;
    if (!handle)
        return ERROR_INVALID_HANDLE;
    if (Reserved != 0 || (lpData == nullptr && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    if (!(handle->access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::string data(reinterpret_cast<const char *>(lpData), cbData);
    Value *v = FindValue(handle->key, lpValueName);
    if (v) {
        v->type = dwType;
        v->data = data;
    } else {
        handle->key->values.push_back(Value{lpValueName ? lpValueName : "", dwType, data});
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR, LPDWORD, PFILETIME)
{
    KeyHandle *handle = Lookup(hKey);
    LONG status;
    if (Fails(Op::EnumKey, handle ? PathOf(handle->key) : "", "", &status))
        return status;
    if (!handle)
        return ERROR_INVALID_HANDLE;
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!(handle->access & KEY_ENUMERATE_SUB_KEYS))
        return ERROR_ACCESS_DENIED;
    if (dwIndex >= handle->key->children.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string &name = handle->key->children[dwIndex]->name;
    if (name.size() + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = (DWORD)name.size();
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    return S().keys.erase((uintptr_t)hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

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
    return HostDeleteFile(lpFileName);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE)
{
    if (Fails(Op::CreateFile, lpFileName ? lpFileName : ""))
        return INVALID_HANDLE_VALUE;
    return HostCreateFile(lpFileName, dwDesiredAccess, dwCreationDisposition);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED)
{
    if (Fails(Op::WriteFile)) {
        if (lpNumberOfBytesWritten)
            *lpNumberOfBytesWritten = 0;
        return FALSE;
    }
    return HostWriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if ((uintptr_t)hObject == kTokenHandle && S().openTokens > 0) {
        S().openTokens--;
        S().tokenCalls.push_back("CloseHandle(token)");
        return TRUE;
    }
    return HostCloseFile(hObject);
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

// Fault injection for tests, wrapped around the registry front.
#include "testing/fault_injection.h"

#include <map>

#include "platform/emulated/registry_front.h"

namespace faults {
namespace {

struct Fault {
    Op op;
    std::string path;
    std::string valueName;
    LONG status;
};

struct State {
    std::vector<Fault> faults;
    long operations = 0;
    long failAt = 0;
    bool failLater = false;
    bool logCalls = true;
    std::vector<std::string> log;
    // The path each open key handle was opened by, for matching faults.
    std::map<HKEY, std::string> paths;
};

State &S()
{
    static State state;
    return state;
}

// The Win32 name of each call, as the operation log writes it.
const char *OpName(Op op)
{
    switch (op) {
#define TESSARIL_OP_NAME(op, type, name, parameters) \
    case Op::op: return #name;
#define TESSARIL_NO_OP(type, name, parameters)
        TESSARIL_WIN32_CALLS(TESSARIL_OP_NAME, TESSARIL_NO_OP)
#undef TESSARIL_OP_NAME
#undef TESSARIL_NO_OP
    }
    return "?";
}

std::string PathOf(HKEY key)
{
    auto it = S().paths.find(key);
    return it == S().paths.end() ? std::string() : it->second;
}

std::string Join(HKEY base, const char *sub)
{
    std::string path = PathOf(base);
    std::string tail = sub ? sub : "";
    if (path.empty())
        return tail;
    return tail.empty() ? path : path + "\\" + tail;
}

const RegistryCalls &Front() { return *RegistryFrontCalls(); }

void Opened(LONG status, PHKEY result, const std::string &path)
{
    if (status == ERROR_SUCCESS && result != nullptr && *result != HKEY_LOCAL_MACHINE)
        S().paths[*result] = path;
}

LONG CreateKey(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
               REGSAM samDesired, LPSECURITY_ATTRIBUTES sa, PHKEY phkResult, LPDWORD disposition)
{
    std::string path = Join(hKey, lpSubKey);
    LONG status;
    if (Fails(Op::CreateKey, path.c_str(), "", &status))
        return status;
    status = Front().createKey(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired, sa,
                               phkResult, disposition);
    Opened(status, phkResult, path);
    return status;
}

LONG OpenKey(HKEY hKey, LPCSTR lpSubKey, DWORD options, REGSAM samDesired, PHKEY phkResult)
{
    std::string path = Join(hKey, lpSubKey);
    LONG status;
    if (Fails(Op::OpenKey, path.c_str(), "", &status))
        return status;
    status = Front().openKey(hKey, lpSubKey, options, samDesired, phkResult);
    Opened(status, phkResult, path);
    return status;
}

LONG QueryValue(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                LPDWORD size)
{
    LONG status;
    if (Fails(Op::QueryValue, PathOf(hKey).c_str(), name ? name : "", &status))
        return status;
    return Front().queryValue(hKey, name, reserved, type, data, size);
}

LONG SetValue(HKEY hKey, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    LONG status;
    if (Fails(Op::SetValue, PathOf(hKey).c_str(), name ? name : "", &status))
        return status;
    return Front().setValue(hKey, name, reserved, type, data, size);
}

LONG EnumKey(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
             LPSTR keyClass, LPDWORD classSize, PFILETIME lastWrite)
{
    LONG status;
    if (Fails(Op::EnumKey, PathOf(hKey).c_str(), "", &status))
        return status;
    return Front().enumKey(hKey, index, name, nameSize, reserved, keyClass, classSize, lastWrite);
}

LONG CloseKey(HKEY hKey)
{
    LONG status = Front().closeKey(hKey);
    if (status != ERROR_INVALID_HANDLE)
        S().paths.erase(hKey);
    return status;
}

const RegistryCalls kCalls = {CreateKey, OpenKey, QueryValue, SetValue, EnumKey, CloseKey};

} // namespace

void Reset()
{
    S() = State();
    RegistryInstallCalls(&kCalls);
}

bool Fails(Op op, const char *path, const char *valueName, LONG *status)
{
    State &s = S();
    s.operations++;
    if (s.logCalls) {
        std::string line = OpName(op);
        if (*path)
            line += std::string(" ") + path;
        if (*valueName)
            line += std::string(" [") + valueName + "]";
        s.log.push_back(line);
    }
    if (s.failAt > 0 && (s.operations == s.failAt || (s.failLater && s.operations > s.failAt))) {
        *status = ERROR_ACCESS_DENIED;
        return true;
    }
    for (const Fault &f : s.faults) {
        if (f.op != op)
            continue;
        if (!f.path.empty() && lstrcmpiA(f.path.c_str(), path) != 0)
            continue;
        if (!f.valueName.empty() && lstrcmpiA(f.valueName.c_str(), valueName) != 0)
            continue;
        *status = f.status;
        return true;
    }
    return false;
}

bool Fails(Op op, const char *path, const char *valueName)
{
    LONG ignored;
    return Fails(op, path, valueName, &ignored);
}

void LogCalls(bool on) { S().logCalls = on; }

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

const std::vector<std::string> &OperationLog() { return S().log; }

} // namespace faults

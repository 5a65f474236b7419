// The Win32 calls the core may make, each named once with its return type
// and parameters, by the service whose header declares it. On Windows the
// declarations are <windows.h>'s (platform/windows checks that these lines
// match them); every other backend gets them from these lines, through the
// service headers, and defines them.
//
// Each list takes two macros:
//   CALL(Op, type, name, (parameters)): a call the tests' fault layer counts
//     and can make fail, Op being its name there;
//   PASS(type, name, (parameters)): one it lets through uncounted (the
//     releases, the pseudo handle, the string helpers).
// A list names its types only when it is expanded, so it is expanded where
// the service header has defined them.
#ifndef TESSARIL_PLATFORM_WIN32_CALLS_H
#define TESSARIL_PLATFORM_WIN32_CALLS_H

// base.h. lstrcmpiA compares two strings without regard to case (0 when they
// are equal); IsDBCSLeadByte tells whether a byte opens a two-byte character
// in the ANSI code page.
#define TESSARIL_BASE_CALLS(CALL, PASS) \
    PASS(BOOL, CloseHandle, (HANDLE hObject)) \
    PASS(int, lstrcmpiA, (LPCSTR lpString1, LPCSTR lpString2)) \
    PASS(BOOL, IsDBCSLeadByte, (BYTE TestChar))

// registry.h.
#define TESSARIL_REGISTRY_CALLS(CALL, PASS) \
    CALL(CreateKey, LONG, RegCreateKeyExA, \
         (HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, \
          REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, \
          LPDWORD lpdwDisposition)) \
    CALL(OpenKey, LONG, RegOpenKeyExA, \
         (HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)) \
    CALL(QueryValue, LONG, RegQueryValueExA, \
         (HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, \
          LPDWORD lpcbData)) \
    CALL(SetValue, LONG, RegSetValueExA, \
         (HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, \
          DWORD cbData)) \
    CALL(EnumKey, LONG, RegEnumKeyExA, \
         (HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, \
          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)) \
    PASS(LONG, RegCloseKey, (HKEY hKey))

// dialog.h. MessageBoxA shows a box and returns the button pressed, or 0
// when it cannot be shown.
#define TESSARIL_DIALOG_CALLS(CALL, PASS) \
    CALL(MessageBox, int, MessageBoxA, (HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType))

// version.h. GetVersionExA fills the record whose size field the caller has
// set (148 for the basic record, 156 for the extended one); FALSE on failure.
#define TESSARIL_VERSION_CALLS(CALL, PASS) \
    CALL(GetVersion, BOOL, GetVersionExA, (LPOSVERSIONINFOA lpVersionInformation))

// files.h. The two directory calls return the length written without the
// NUL, the size needed (NUL included) when the buffer is too small, or 0 on
// failure.
#define TESSARIL_FILES_CALLS(CALL, PASS) \
    CALL(WindowsDirectory, UINT, GetWindowsDirectoryA, (LPSTR lpBuffer, UINT uSize)) \
    CALL(SystemDirectory, UINT, GetSystemDirectoryA, (LPSTR lpBuffer, UINT uSize)) \
    CALL(DeleteFile, BOOL, DeleteFileA, (LPCSTR lpFileName)) \
    CALL(CreateFile, HANDLE, CreateFileA, \
         (LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, \
          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, \
          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)) \
    CALL(WriteFile, BOOL, WriteFile, \
         (HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, \
          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped))

// token.h.
#define TESSARIL_TOKEN_CALLS(CALL, PASS) \
    PASS(HANDLE, GetCurrentProcess, (void)) \
    CALL(OpenToken, BOOL, OpenProcessToken, \
         (HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)) \
    CALL(LookupPrivilege, BOOL, LookupPrivilegeValueA, \
         (LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)) \
    CALL(AdjustPrivileges, BOOL, AdjustTokenPrivileges, \
         (HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, \
          DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)) \
    CALL(ExitWindows, BOOL, ExitWindowsEx, (UINT uFlags, DWORD dwReason))

// Every call, in the order above.
#define TESSARIL_WIN32_CALLS(CALL, PASS) \
    TESSARIL_BASE_CALLS(CALL, PASS) \
    TESSARIL_REGISTRY_CALLS(CALL, PASS) \
    TESSARIL_DIALOG_CALLS(CALL, PASS) \
    TESSARIL_VERSION_CALLS(CALL, PASS) \
    TESSARIL_FILES_CALLS(CALL, PASS) \
    TESSARIL_TOKEN_CALLS(CALL, PASS)

// Declares a call of a list, as <windows.h> does.
#define TESSARIL_DECLARE_CALL(Op, type, name, parameters) type WINAPI name parameters;
#define TESSARIL_DECLARE_PASS(type, name, parameters) type WINAPI name parameters;

#endif

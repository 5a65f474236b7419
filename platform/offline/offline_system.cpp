// The non-registry platform calls of the offline build: the installation's
// directories and files, message boxes on the terminal, the version read from
// the SOFTWARE hive, and a restart that cannot happen from here.
#include "platform/dialog.h"
#include "platform/offline/hivex_store.h"
#include "platform/offline/scripted_answers.h"
#include "platform/files.h"
#include "platform/posix/host_files.h"
#include "platform/registry.h"
#include "platform/token.h"
#include "platform/version.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

namespace {

// The process token: nothing to open or close on this build.
HANDLE const kTokenHandle = (HANDLE)(intptr_t)0x7E57;

UINT CopyDirectory(const char *text, LPSTR buffer, UINT size)
{
    size_t n = strlen(text);
    if (n == 0)
        return 0;
    if (buffer == NULL || size <= n)
        return (UINT)(n + 1);
    memcpy(buffer, text, n + 1);
    return (UINT)n;
}

// Scripted answers, when set: the rest of the text still to read.
const char *g_script = NULL;
bool g_quiet = false;
OfflineBoxRecord g_boxes;

int NextAnswerChar()
{
    if (g_script == NULL)
        return getchar();
    if (*g_script == '\0')
        return EOF;
    return (unsigned char)*g_script++;
}

// Reads one answer line (at most 63 characters are kept; the rest of a
// longer line is read and dropped). False at end of input with nothing read.
bool ReadAnswer(char *line, size_t size)
{
    size_t n = 0;
    int c;
    bool any = false;
    while ((c = NextAnswerChar()) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (n + 1 < size)
            line[n++] = (char)c;
    }
    line[n] = '\0';
    return any;
}

// The answer without surrounding blanks (and without a CR from a CR LF line).
const char *Trim(char *line)
{
    char *p = line;
    while (*p && isspace((unsigned char)*p))
        p++;
    size_t n = strlen(p);
    while (n > 0 && isspace((unsigned char)p[n - 1]))
        p[--n] = '\0';
    return p;
}

// "5.1" and the like: two decimal numbers and a dot, nothing else.
bool ParseVersion(const char *text, DWORD *major, DWORD *minor)
{
    DWORD parts[2] = {0, 0};
    int part = 0;
    int digits = 0;
    for (const char *p = text;; p++) {
        if (*p >= '0' && *p <= '9') {
            if (++digits > 4)
                return false;
            parts[part] = parts[part] * 10 + (DWORD)(*p - '0');
        } else if (*p == '.' && part == 0 && digits > 0) {
            part = 1;
            digits = 0;
        } else if (*p == '\0' && part == 1 && digits > 0) {
            break;
        } else {
            return false;
        }
    }
    *major = parts[0];
    *minor = parts[1];
    return true;
}

// Reads a string value of the CurrentVersion key; false when it is missing,
// not a string or does not fit.
bool ReadVersionString(HKEY key, const char *name, char *out, DWORD size)
{
    DWORD type = 0;
    DWORD length = size - 1;
    memset(out, 0, size);
    if (RegQueryValueExA(key, name, NULL, &type, (LPBYTE)out, &length) != ERROR_SUCCESS)
        return false;
    out[length < size ? length : size - 1] = '\0';
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

} // namespace

void OfflineScriptAnswers(const char *lines) { g_script = lines; }

void OfflineQuietBoxes(bool quiet) { g_quiet = quiet; }

void OfflineBoxesMet(OfflineBoxRecord *record) { *record = g_boxes; }

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    return CopyDirectory(HostFilesWindowsDirectory(), lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    const char *windows = HostFilesWindowsDirectory();
    if (windows[0] == '\0')
        return 0;
    char system[MAX_PATH + 16];
    snprintf(system, sizeof system, "%s\\system32", windows);
    return CopyDirectory(system, lpBuffer, uSize);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) { return HostDeleteFile(lpFileName); }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE hTemplateFile)
{
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    return HostCreateFile(lpFileName, dwDesiredAccess, dwCreationDisposition);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped;
    return HostWriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (hObject == kTokenHandle)
        return TRUE;
    return HostCloseFile(hObject);
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    (void)hWnd;
    bool question = (uType & 0xF) == MB_YESNO;
    // The changes were to be saved when the last key into the hive closed:
    // after a save that failed, no question suggests that all went well (the
    // program tells of the failure at once).
    OfflineHiveResult system;
    OfflineHiveOutcome(kOfflineSystem, &system);
    if (question && system.saveFailed) {
        g_boxes.restartWithheld = true;
        return IDNO;
    }
    if (!g_quiet)
        printf("\n[%s]\n%s\n", lpCaption ? lpCaption : "", lpText ? lpText : "");
    if (!question) {
        snprintf(g_boxes.error, sizeof g_boxes.error, "%s", lpText ? lpText : "");
        fflush(stdout);
        return IDOK;
    }
    int answer = IDNO;
    for (;;) {
        if (!g_quiet)
            fputs("Yes or No? ", stdout);
        fflush(stdout);
        char line[64];
        if (!ReadAnswer(line, sizeof line)) {
            if (!g_quiet)
                fputs("\n", stdout);
            fflush(stdout);
            g_boxes.endOfInput = true;
            break;
        }
        // Answers that come from a pipe are not echoed by a terminal.
        if (!g_quiet && (g_script != NULL || !isatty(0))) {
            fputs(line, stdout);
            fputs("\n", stdout);
        }
        const char *text = Trim(line);
        if (strcasecmp(text, "y") == 0 || strcasecmp(text, "yes") == 0) {
            answer = IDYES;
            break;
        }
        if (strcasecmp(text, "n") == 0 || strcasecmp(text, "no") == 0)
            break;
    }
    if (g_boxes.questions++ == 0)
        g_boxes.declined = answer == IDNO;
    return answer;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    if (info == NULL)
        return FALSE;
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA))
        return FALSE;
    DWORD major = 0, minor = 0, build = 0;
    char text[128];
    char csd[128] = "";
    bool known = false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        known = ReadVersionString(key, "CurrentVersion", text, sizeof text) &&
                ParseVersion(text, &major, &minor);
        DWORD number = 0;
        if (ReadVersionString(key, "CurrentBuildNumber", text, sizeof text)) {
            for (const char *p = text; *p >= '0' && *p <= '9' && number < 100000000; p++)
                number = number * 10 + (DWORD)(*p - '0');
            build = number;
        }
        if (!ReadVersionString(key, "CSDVersion", csd, sizeof csd))
            csd[0] = '\0';
        RegCloseKey(key);
    }
    // Without a readable version only the platform is known: the basic query
    // still answers it, the extended one fails.
    if (!known && size == sizeof(OSVERSIONINFOEXA))
        return FALSE;
    memset((char *)info + sizeof(DWORD), 0, size - sizeof(DWORD));
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->dwMajorVersion = known ? major : 0;
    info->dwMinorVersion = known ? minor : 0;
    info->dwBuildNumber = build;
    snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "%s", csd);
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(intptr_t)-1; }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    (void)ProcessHandle;
    (void)DesiredAccess;
    if (TokenHandle == NULL)
        return FALSE;
    *TokenHandle = kTokenHandle;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    (void)lpSystemName;
    if (lpName == NULL || lpLuid == NULL || strcmp(lpName, SE_SHUTDOWN_NAME) != 0)
        return FALSE;
    lpLuid->LowPart = 19; // the shutdown privilege's number on Windows
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    (void)DisableAllPrivileges;
    (void)NewState;
    (void)BufferLength;
    (void)PreviousState;
    (void)ReturnLength;
    return TokenHandle == kTokenHandle;
}

// A mounted installation is not the running system: it cannot be restarted.
BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    (void)uFlags;
    (void)dwReason;
    return FALSE;
}

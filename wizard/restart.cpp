// The system restart.
#include "wizard/restart.h"

#include <string.h>

#include "platform/token.h"
#include "wizard/os_detect.h"

int RestartSystem(void)
{
    if (g_OperatingSystem.windows2000 || g_OperatingSystem.windowsXP || g_OperatingSystem.otherNT) {
        HANDLE token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return 0;
        TOKEN_PRIVILEGES privileges;
        memset(&privileges, 0, sizeof privileges);
        LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        CloseHandle(token);
        if (!adjusted)
            return 0;
    }
    return ExitWindowsEx(EWX_REBOOT, 0) ? 1 : 0;
}

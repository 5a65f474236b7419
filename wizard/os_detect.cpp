// The operating system detection.
#include "wizard/os_detect.h"

#include <string.h>

#include "platform/version.h"

OperatingSystem g_OperatingSystem;

void DetectOperatingSystem(void)
{
    OSVERSIONINFOA basic;
    memset(&basic, 0, sizeof basic);
    basic.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(&basic);

    g_OperatingSystem.windows9x = basic.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
    g_OperatingSystem.otherNT = basic.dwPlatformId == VER_PLATFORM_WIN32_NT;
    g_OperatingSystem.windows2000 = false;
    g_OperatingSystem.windowsXP = false;
    if (basic.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return;

    OSVERSIONINFOEXA extended;
    memset(&extended, 0, sizeof extended);
    extended.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (!GetVersionExA((LPOSVERSIONINFOA)&extended) || extended.dwMajorVersion != 5)
        return;
    if (extended.dwMinorVersion == 0)
        g_OperatingSystem.windows2000 = true;
    else
        g_OperatingSystem.windowsXP = true;
    g_OperatingSystem.otherNT = false;
}

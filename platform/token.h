// The process token, the shutdown privilege and the restart request.
#ifndef TESSARIL_PLATFORM_TOKEN_H
#define TESSARIL_PLATFORM_TOKEN_H

#include "platform/base.h"

#ifndef _WIN32
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"
#define EWX_REBOOT 0x00000002
#define ANYSIZE_ARRAY 1

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

// GetCurrentProcess, OpenProcessToken, LookupPrivilegeValueA,
// AdjustTokenPrivileges, ExitWindowsEx.
TESSARIL_TOKEN_CALLS(TESSARIL_DECLARE_CALL, TESSARIL_DECLARE_PASS)
#endif // _WIN32

#endif

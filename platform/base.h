// Basic Windows types, status codes and the few kernel calls every platform
// service shares (CloseHandle, lstrcmpiA). On Windows they come from
// <windows.h>; every other backend supplies the same names and shapes.
#ifndef TESSARIL_PLATFORM_BASE_H
#define TESSARIL_PLATFORM_BASE_H

#ifdef _WIN32
#include <windows.h>
#else
#include <stddef.h>
#include <stdint.h>

#include "platform/win32_calls.h"

#define WINAPI

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;
typedef BYTE *LPBYTE;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef struct HWND__ *HWND;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

// Status codes, as winerror.h numbers them.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_WRITE_FAULT 29L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NO_SYSTEM_RESOURCES 1450L

// CloseHandle, lstrcmpiA, IsDBCSLeadByte.
TESSARIL_BASE_CALLS(TESSARIL_DECLARE_CALL, TESSARIL_DECLARE_PASS)

#endif // _WIN32

#endif

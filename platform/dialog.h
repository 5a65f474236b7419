// Message boxes.
#ifndef TESSARIL_PLATFORM_DIALOG_H
#define TESSARIL_PLATFORM_DIALOG_H

#include "platform/base.h"

#ifndef _WIN32
#define MB_OK 0x00000000L
#define MB_YESNO 0x00000004L
#define MB_ICONERROR 0x00000010L
#define MB_ICONQUESTION 0x00000020L

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

// Shows a box and returns the button pressed, or 0 when it cannot be shown.
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
#endif // _WIN32

#endif

// lstrcmpiA and IsDBCSLeadByte for the backends that do not run on Windows:
// text read in the ANSI code page of the Reg* calls, names compared as the
// registry compares them.
#include "platform/base.h"
#include "platform/emulated/codepage.h"
#include "platform/emulated/key_names.h"

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    if (a == NULL || b == NULL)
        return a == b ? 0 : (a == NULL ? -1 : 1);
    return CompareKeyNames(a, b);
}

BOOL WINAPI IsDBCSLeadByte(BYTE c)
{
    return AnsiIsLeadByte(c) ? TRUE : FALSE;
}

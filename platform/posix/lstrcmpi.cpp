// lstrcmpiA for the backends that do not run on Windows: names compared as
// the registry compares them, in the ANSI code page of the Reg* calls.
#include "platform/base.h"
#include "platform/emulated/key_names.h"

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    if (a == NULL || b == NULL)
        return a == b ? 0 : (a == NULL ? -1 : 1);
    return CompareKeyNames(a, b);
}

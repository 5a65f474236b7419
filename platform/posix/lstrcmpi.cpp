// lstrcmpiA for the backends that do not run on Windows: Windows-1252 without regard to case.
#include "platform/base.h"

// Folds the capitals of the Windows-1252 code page to small letters.
static unsigned char FoldCase(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return (unsigned char)(c + 0x20);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return (unsigned char)(c + 0x20);
    switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
    }
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    if (a == NULL || b == NULL)
        return a == b ? 0 : (a == NULL ? -1 : 1);
    for (;; a++, b++) {
        unsigned char ca = FoldCase((unsigned char)*a);
        unsigned char cb = FoldCase((unsigned char)*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

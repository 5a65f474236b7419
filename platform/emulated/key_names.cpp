// The order of key names, shared by the stores and the hive writer.
#include "platform/emulated/key_names.h"

#include "platform/emulated/cp1252.h"

uint16_t UpperNameUnit(uint16_t u)
{
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7))
        return (uint16_t)(u - 0x20);
    if (u == 0xFF)
        return 0x178;
    if (FoldNameChar(u) == u && u > 0xFF) {
        for (uint32_t c = u - 0x50; c < u; c++)
            if (c >= 0x100 && FoldNameChar(c) == u)
                return (uint16_t)c;
    }
    return u;
}

namespace {

// The upper-case UTF-16 units of a UTF-8 name, one at a time.
struct UpperUnits {
    const char *p;
    const char *end;
    uint16_t low = 0; // the second unit of a surrogate pair, still to come

    // The next unit; false at the end.
    bool Next(uint16_t *unit)
    {
        if (low != 0) {
            *unit = low;
            low = 0;
            return true;
        }
        if (p >= end)
            return false;
        if ((unsigned char)*p < 0x80) {
            char c = *p++;
            *unit = (uint16_t)(c >= 'a' && c <= 'z' ? c - 0x20 : c);
            return true;
        }
        uint32_t cp = NextUtf8(&p, end);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *unit = (uint16_t)(0xD800 + (cp >> 10));
            low = (uint16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            *unit = UpperNameUnit((uint16_t)cp);
        }
        return true;
    }
};

} // namespace

std::u16string KeyNameSortKey(const char *utf8, size_t size)
{
    std::u16string key;
    UpperUnits units{utf8, utf8 + size};
    uint16_t u;
    while (units.Next(&u))
        key.push_back((char16_t)u);
    return key;
}

int CompareKeyNamesUtf8(const char *a, size_t aSize, const char *b, size_t bSize)
{
    UpperUnits ua{a, a + aSize}, ub{b, b + bSize};
    for (;;) {
        uint16_t x = 0, y = 0;
        bool moreA = ua.Next(&x), moreB = ub.Next(&y);
        if (!moreA || !moreB)
            return moreA ? 1 : moreB ? -1 : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
}

int CompareKeyNames(const char *a, const char *b)
{
    for (;; a++, b++) {
        uint16_t ua = *a ? UpperNameUnit((uint16_t)Cp1252ToUnicode((unsigned char)*a)) : 0;
        uint16_t ub = *b ? UpperNameUnit((uint16_t)Cp1252ToUnicode((unsigned char)*b)) : 0;
        if (ua != ub)
            return ua < ub ? -1 : 1;
        if (ua == 0)
            return 0;
    }
}

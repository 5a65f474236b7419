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

void Append(uint32_t cp, std::u16string *out)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back((char16_t)(0xD800 + (cp >> 10)));
        out->push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back((char16_t)UpperNameUnit((uint16_t)cp));
    }
}

} // namespace

std::u16string KeyNameSortKey(const char *utf8, size_t size)
{
    std::u16string key;
    const char *end = utf8 + size;
    while (utf8 < end)
        Append(NextUtf8(&utf8, end), &key);
    return key;
}

std::u16string KeyNameSortKeyCp1252(const char *name)
{
    std::u16string key;
    for (; *name; name++)
        Append(Cp1252ToUnicode((unsigned char)*name), &key);
    return key;
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

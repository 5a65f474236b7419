// The order and the equality of key and value names, shared by the stores,
// lstrcmpiA and the hive writer.
#include "platform/emulated/key_names.h"

#include "platform/emulated/codepage.h"

#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

namespace {

// The small letter of a capital of the first Unicode blocks (Latin, Greek,
// Cyrillic), as the registry folds them.
uint32_t FoldNameChar(uint32_t cp)
{
    if (cp >= 'A' && cp <= 'Z')
        return cp + 0x20;
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)
        return cp + 0x20;
    if (cp == 0x178)
        return 0xFF;
    if ((cp >= 0x100 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177))
        return cp | 1;
    if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E))
        return (cp & 1) ? cp + 1 : cp;
    if (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2)
        return cp + 0x20;
    if (cp >= 0x410 && cp <= 0x42F)
        return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F)
        return cp + 0x50;
    return cp;
}

// The locale whose case mapping is Unicode's.
locale_t UnicodeLocale()
{
    static bool tried = false;
    static locale_t locale = (locale_t)0;
    if (!tried) {
        tried = true;
        locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    }
    return locale;
}

} // namespace

uint16_t UpperNameUnit(uint16_t u)
{
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7))
        return (uint16_t)(u - 0x20);
    if (u == 0xFF)
        return 0x178;
    if (u < 0x100 || (u >= 0xD800 && u <= 0xDFFF))
        return u;
    if (FoldNameChar(u) == u) {
        for (uint32_t c = u - 0x50; c < u; c++)
            if (c >= 0x100 && FoldNameChar(c) == u)
                return (uint16_t)c;
    } else {
        return u;
    }
    // Beyond those blocks (full-width Latin, Greek with accents, Armenian...):
    // Unicode's capital, never one of the first 256 characters.
    locale_t locale = UnicodeLocale();
    if (locale == (locale_t)0)
        return u;
    wint_t upper = towupper_l((wint_t)u, locale);
    return upper > 0xFF && upper <= 0xFFFF && (upper < 0xD800 || upper > 0xDFFF) ? (uint16_t)upper : u;
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
        uint16_t units[2];
        if (Utf16Of(NextUtf8(&p, end), units) == 2) {
            *unit = units[0];
            low = units[1];
        } else {
            *unit = UpperNameUnit(units[0]);
        }
        return true;
    }
};

// The upper-case UTF-16 units of an ANSI name (in the code page of the
// Reg* calls), in a buffer of its own: on the stack for usual names.
struct AnsiUpperUnits {
    unsigned char small[1024];
    unsigned char *bytes = small;
    size_t count = 0;
    bool ok = true;
    explicit AnsiUpperUnits(const char *name)
    {
        size_t size = strlen(name);
        if (2 * size > sizeof small) {
            bytes = (unsigned char *)malloc(2 * size);
            if (bytes == NULL) {
                bytes = small;
                ok = false;
                return;
            }
        }
        size_t total = AnsiToUtf16le((const unsigned char *)name, size, bytes, 2 * size);
        count = (total < 2 * size ? total : 2 * size) / 2;
    }
    ~AnsiUpperUnits()
    {
        if (bytes != small)
            free(bytes);
    }
    AnsiUpperUnits(const AnsiUpperUnits &) = delete;
    AnsiUpperUnits &operator=(const AnsiUpperUnits &) = delete;
    uint16_t At(size_t i) const { return UpperNameUnit((uint16_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8))); }
};

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 0x20) : c; }

// In a code page of single bytes every byte is one UTF-16 unit: the
// upper-case unit of each byte of the code page's table (codepage.h), made
// once for each code page selected. NULL for a double-byte code page.
const uint16_t *SingleByteUppers()
{
    static unsigned page = 0;
    static bool single = false;
    static uint16_t upper[256];
    unsigned now = SelectedCodePage();
    if (now != page) {
        page = now;
        const uint16_t *units = AnsiSingleByteTable();
        single = units != NULL;
        for (int c = 0; c < 256 && single; c++)
            upper[c] = UpperNameUnit(units[c]);
    }
    return single ? upper : NULL;
}

// Two names of a double-byte code page, converted whole: a function of its
// own, so that the quick comparisons in CompareKeyNames do not pay for its
// buffers.
__attribute__((noinline)) int CompareConverted(const char *a, const char *b)
{
    AnsiUpperUnits ua(a), ub(b);
    if (!ua.ok || !ub.ok)
        return strcmp(a, b) < 0 ? -1 : (strcmp(a, b) > 0 ? 1 : 0);
    for (size_t i = 0; i < ua.count && i < ub.count; i++) {
        uint16_t x = ua.At(i), y = ub.At(i);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return ua.count == ub.count ? 0 : (ua.count < ub.count ? -1 : 1);
}

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

std::u16string KeyNameSortKeyUtf16(const uint16_t *units, size_t count)
{
    std::u16string key;
    key.reserve(count);
    for (size_t i = 0; i < count; i++)
        key.push_back((char16_t)UpperNameUnit(units[i]));
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
    // Names are mostly ASCII, and most comparisons are settled within a few
    // characters: compare as ASCII up to the first byte that is not. Before
    // it, both names are whole characters in any code page, so the rest may
    // be compared on its own.
    for (;; a++, b++) {
        unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
        // Names looked up are mostly spelt as stored.
        if (x == y && x < 0x80) {
            if (x == '\0')
                return 0;
            continue;
        }
        if (x >= 0x80 || y >= 0x80)
            break;
        x = (unsigned char)UpperAscii((char)x);
        y = (unsigned char)UpperAscii((char)y);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == '\0')
            return 0;
    }
    if (const uint16_t *upper = SingleByteUppers()) {
        for (;; a++, b++) {
            uint16_t x = upper[(unsigned char)*a], y = upper[(unsigned char)*b];
            if (x != y)
                return x < y ? -1 : 1;
            if (x == 0)
                return 0;
        }
    }
    return CompareConverted(a, b);
}

bool NameEqualsUtf8(const char *ansiName, const char *utf8Name, size_t utf8Size)
{
    AnsiUpperUnits a(ansiName);
    if (!a.ok)
        return false;
    UpperUnits b{utf8Name, utf8Name + utf8Size};
    size_t i = 0;
    uint16_t y;
    while (b.Next(&y)) {
        if (i >= a.count || a.At(i) != y)
            return false;
        i++;
    }
    return i == a.count;
}

// Text conversions between Windows-1252, UTF-16LE and UTF-8.
#include "platform/emulated/cp1252.h"

#include <string.h>

namespace {

// 0x80..0x9F of Windows-1252.
const uint16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void PutUtf8(uint32_t cp, char *out, size_t *n)
{
    if (cp < 0x80) {
        out[(*n)++] = (char)cp;
    } else if (cp < 0x800) {
        out[(*n)++] = (char)(0xC0 | (cp >> 6));
        out[(*n)++] = (char)(0x80 | (cp & 0x3F));
    } else {
        out[(*n)++] = (char)(0xE0 | (cp >> 12));
        out[(*n)++] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[(*n)++] = (char)(0x80 | (cp & 0x3F));
    }
}

} // namespace

uint32_t Cp1252ToUnicode(unsigned char c)
{
    if (c >= 0x80 && c <= 0x9F)
        return kHighControls[c - 0x80];
    return c;
}

unsigned char UnicodeToCp1252(uint32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return (unsigned char)cp;
    for (int i = 0; i < 32; i++)
        if (kHighControls[i] == cp)
            return (unsigned char)(0x80 + i);
    return '?';
}

void Cp1252ToUtf16le(const unsigned char *in, size_t size, unsigned char *out)
{
    for (size_t i = 0; i < size; i++) {
        uint32_t cp = Cp1252ToUnicode(in[i]);
        out[2 * i] = (unsigned char)(cp & 0xFF);
        out[2 * i + 1] = (unsigned char)(cp >> 8);
    }
}

size_t Utf16leToCp1252(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    size_t units = size / 2;
    size_t n = 0;
    for (size_t i = 0; i < units; i++) {
        uint32_t u = (uint32_t)in[2 * i] | ((uint32_t)in[2 * i + 1] << 8);
        unsigned char c;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t low = (uint32_t)in[2 * i + 2] | ((uint32_t)in[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF)
                i++;
            c = '?';
        } else {
            c = UnicodeToCp1252(u);
        }
        if (n < capacity)
            out[n] = c;
        n++;
    }
    return n;
}

uint32_t NextUtf8(const char **p, const char *end)
{
    const unsigned char *s = (const unsigned char *)*p;
    const unsigned char *e = (const unsigned char *)end;
    unsigned char c = s[0];
    int extra;
    uint32_t cp;
    if (c < 0x80) {
        *p += 1;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
    } else {
        *p += 1;
        return 0xFFFD;
    }
    if (e - s <= extra) {
        *p += 1;
        return 0xFFFD;
    }
    for (int i = 1; i <= extra; i++) {
        if ((s[i] & 0xC0) != 0x80) {
            *p += 1;
            return 0xFFFD;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    *p += 1 + extra;
    return cp;
}

size_t Utf8ToCp1252(const char *in, size_t inSize, char *out, size_t capacity)
{
    const char *p = in;
    const char *end = in + inSize;
    size_t n = 0;
    while (p < end) {
        uint32_t cp = NextUtf8(&p, end);
        if (n + 1 < capacity)
            out[n] = (char)UnicodeToCp1252(cp);
        n++;
    }
    if (capacity > 0)
        out[n < capacity ? n : capacity - 1] = '\0';
    return n;
}

bool Cp1252ToUtf8(const char *in, char *out, size_t capacity)
{
    size_t n = 0;
    for (const unsigned char *s = (const unsigned char *)in; *s; s++) {
        if (n + 4 > capacity)
            return false;
        PutUtf8(Cp1252ToUnicode(*s), out, &n);
    }
    if (n + 1 > capacity)
        return false;
    out[n] = '\0';
    return true;
}

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

bool NameEqualsUtf8(const char *cp1252Name, const char *utf8Name, size_t utf8Size)
{
    const unsigned char *a = (const unsigned char *)cp1252Name;
    const char *p = utf8Name;
    const char *end = utf8Name + utf8Size;
    for (; *a; a++) {
        if (p >= end)
            return false;
        if (FoldNameChar(Cp1252ToUnicode(*a)) != FoldNameChar(NextUtf8(&p, end)))
            return false;
    }
    return p == end;
}

// Text in the installation's ANSI code page against UTF-16LE and UTF-8, through
// iconv (the code page itself: codepage_table.cpp).
#include "platform/emulated/codepage.h"
#include "platform/emulated/codepage_table.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

using namespace codepage;

namespace {

iconv_t g_utf8ToUtf16 = kNoConverter;
iconv_t g_utf16ToUtf8 = kNoConverter;

// Where a conversion puts its output: at most capacity bytes are stored,
// every byte is counted.
struct Sink {
    unsigned char *out;
    size_t capacity;
    size_t total;
    void Put(const void *bytes, size_t n)
    {
        if (total < capacity) {
            size_t room = capacity - total;
            memcpy(out + total, bytes, n < room ? n : room);
        }
        total += n;
    }
};

// Runs cd over size bytes of in, then flushes what cd still holds. Where cd
// refuses the input (a sequence it cannot convert, or an incomplete one at
// the end), bad() puts a replacement into the sink and returns how many
// input bytes it stands for (at least 1).
template <typename Bad>
void Convert(iconv_t cd, const unsigned char *in, size_t size, Sink *sink, Bad bad)
{
    iconv(cd, NULL, NULL, NULL, NULL);
    char *p = (char *)in;
    size_t left = size;
    for (;;) {
        char scratch[1024];
        char *o = scratch;
        size_t room = sizeof scratch;
        bool flush = left == 0;
        errno = 0;
        size_t r = flush ? iconv(cd, NULL, NULL, &o, &room) : iconv(cd, &p, &left, &o, &room);
        int e = errno;
        sink->Put(scratch, (size_t)(o - scratch));
        if (r == (size_t)-1 && e == E2BIG)
            continue;
        if (flush)
            break;
        if (r != (size_t)-1)
            continue;
        size_t skip = bad((const unsigned char *)p, left, sink);
        if (skip > left)
            skip = left;
        p += skip;
        left -= skip;
    }
}

void PutUnit(Sink *sink, uint32_t unit)
{
    unsigned char b[2] = {(unsigned char)(unit & 0xFF), (unsigned char)(unit >> 8)};
    sink->Put(b, 2);
}

bool EnsureUtf8()
{
    if (g_utf8ToUtf16 == kNoConverter)
        g_utf8ToUtf16 = iconv_open("UTF-16LE", "UTF-8");
    if (g_utf16ToUtf8 == kNoConverter)
        g_utf16ToUtf8 = iconv_open("UTF-8", "UTF-16LE");
    return g_utf8ToUtf16 != kNoConverter && g_utf16ToUtf8 != kNoConverter;
}

bool IsAscii(const char *s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)s[i] >= 0x80)
            return false;
    return true;
}

} // namespace

size_t AnsiToUtf16le(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    const CodePage &page = SelectedPage();
    Sink sink{out, capacity, 0};
    for (size_t i = 0; i < size;) {
        size_t n = AnsiCharSize(in + i, size - i);
        uint16_t unit = page.unit[in[i]];
        if (n == 2) {
            if (!ConvertAlone(page.toUtf16, in + i, 2, &unit))
                unit = kDoubleByteDefault;
        } else if (page.lead[in[i]]) {
            unit = kDoubleByteDefault; // a lead byte with nothing after it
        }
        PutUnit(&sink, unit);
        i += n;
    }
    return sink.total;
}

size_t Utf16leToAnsi(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    const CodePage &page = SelectedPage();
    Sink sink{out, capacity, 0};
    size &= ~(size_t)1;
    // A unit no byte stands for: "?", one for a surrogate pair.
    auto refused = [](const unsigned char *p, size_t left, Sink *s) {
        if (left < 2)
            return left;
        uint32_t unit = (uint32_t)p[0] | ((uint32_t)p[1] << 8);
        unsigned char c = '?';
        ByteOf((uint16_t)unit, &c);
        s->Put(&c, 1);
        if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
            uint32_t low = (uint32_t)p[2] | ((uint32_t)p[3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF)
                return (size_t)4;
        }
        return (size_t)2;
    };
    if (page.doubleByte) {
        Convert(page.fromUtf16, in, size, &sink, refused);
        return sink.total;
    }
    for (size_t i = 0; i < size;) {
        unsigned char c;
        if (ByteOf((uint16_t)(in[i] | (in[i + 1] << 8)), &c)) {
            sink.Put(&c, 1);
            i += 2;
        } else {
            i += refused(in + i, size - i, &sink);
        }
    }
    return sink.total;
}

size_t Utf8ToUtf16le(const char *in, size_t size, unsigned char *out, size_t capacity)
{
    Sink sink{out, capacity, 0};
    if (!EnsureUtf8()) {
        for (size_t i = 0; i < size; i++)
            PutUnit(&sink, (unsigned char)in[i] < 0x80 ? (unsigned char)in[i] : 0xFFFD);
        return sink.total;
    }
    Convert(g_utf8ToUtf16, (const unsigned char *)in, size, &sink, [](const unsigned char *, size_t, Sink *s) {
        PutUnit(s, 0xFFFD);
        return (size_t)1;
    });
    return sink.total;
}

size_t Utf8ToAnsi(const char *in, size_t size, char *out, size_t capacity)
{
    if (IsAscii(in, size)) { // the same bytes in every ANSI code page
        memcpy(out, in, size < capacity ? size : capacity);
        if (capacity > 0)
            out[size < capacity ? size : capacity - 1] = '\0';
        return size;
    }
    Utf16Copy units;
    units.Fill(2 * size, [&](unsigned char *b, size_t most) { return Utf8ToUtf16le(in, size, b, most); });
    size_t n = 0;
    if (units.ok)
        n = Utf16leToAnsi(units.bytes, 2 * units.count, (unsigned char *)out, capacity);
    if (capacity > 0)
        out[n < capacity ? n : capacity - 1] = '\0';
    return n;
}

bool AnsiToUtf8(const char *in, char *out, size_t capacity)
{
    size_t size = strlen(in);
    if (IsAscii(in, size)) {
        if (size + 1 > capacity)
            return false;
        memcpy(out, in, size + 1);
        return true;
    }
    Utf16Copy units;
    units.Fill(2 * size, [&](unsigned char *b, size_t most) {
        return AnsiToUtf16le((const unsigned char *)in, size, b, most);
    });
    if (!units.ok || !EnsureUtf8())
        return false;
    Sink sink{(unsigned char *)out, capacity, 0};
    Convert(g_utf16ToUtf8, units.bytes, 2 * units.count, &sink, [](const unsigned char *, size_t left, Sink *s) {
        s->Put("\xEF\xBF\xBD", 3);
        return left < 2 ? left : (size_t)2;
    });
    if (sink.total + 1 > capacity)
        return false;
    out[sink.total] = '\0';
    return true;
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

// The installation's ANSI code page against UTF-16LE and UTF-8, through iconv.
#include "platform/emulated/codepage.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const iconv_t kNoConverter = (iconv_t)-1;

struct CodePage {
    unsigned number = 0;
    iconv_t toUtf16 = kNoConverter;   // ANSI -> UTF-16LE
    iconv_t fromUtf16 = kNoConverter; // UTF-16LE -> ANSI
    bool undefined[256] = {};         // single bytes the code page has no character for
    bool lead[256] = {};              // bytes that open a two-byte character
};

CodePage g_page;
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

// Runs cd over size bytes of in. Where cd refuses the input (a sequence it
// cannot convert, or an incomplete one at the end), bad() puts a replacement
// into the sink and returns how many input bytes it stands for (at least 1).
template <typename Bad>
void Convert(iconv_t cd, const unsigned char *in, size_t size, Sink *sink, Bad bad)
{
    iconv(cd, NULL, NULL, NULL, NULL);
    char *p = (char *)in;
    size_t left = size;
    while (left > 0) {
        char scratch[1024];
        char *o = scratch;
        size_t room = sizeof scratch;
        errno = 0;
        size_t r = iconv(cd, &p, &left, &o, &room);
        int e = errno;
        sink->Put(scratch, (size_t)(o - scratch));
        if (r != (size_t)-1 || e == E2BIG)
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

bool OpenPage(unsigned number, CodePage *page)
{
    char name[16];
    snprintf(name, sizeof name, "CP%u", number);
    page->toUtf16 = iconv_open("UTF-16LE", name);
    page->fromUtf16 = iconv_open(name, "UTF-16LE");
    if (page->toUtf16 == kNoConverter || page->fromUtf16 == kNoConverter) {
        if (page->toUtf16 != kNoConverter)
            iconv_close(page->toUtf16);
        if (page->fromUtf16 != kNoConverter)
            iconv_close(page->fromUtf16);
        return false;
    }
    page->number = number;
    for (int c = 0; c < 256; c++) {
        iconv(page->toUtf16, NULL, NULL, NULL, NULL);
        char byte = (char)c;
        char *p = &byte;
        size_t left = 1;
        char unit[8];
        char *o = unit;
        size_t room = sizeof unit;
        errno = 0;
        bool refused = iconv(page->toUtf16, &p, &left, &o, &room) == (size_t)-1;
        page->undefined[c] = refused && errno == EILSEQ;
        // A byte that iconv finds incomplete on its own waits for a second.
        page->lead[c] = refused && errno == EINVAL;
    }
    return true;
}

// Windows-1252 until the installation says otherwise.
void EnsurePage()
{
    if (g_page.number == 0 && !OpenPage(1252, &g_page))
        g_page.number = 1252; // no converter at all: ASCII only, below
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

// A UTF-16 copy of a string in a buffer of its own (stack for short ones).
struct Units {
    unsigned char small[1024];
    unsigned char *bytes = small;
    size_t count = 0;
    bool ok = true;
    ~Units()
    {
        if (bytes != small)
            free(bytes);
    }
    template <typename F> void Fill(size_t most, F convert)
    {
        if (most > sizeof small) {
            bytes = (unsigned char *)malloc(most);
            if (bytes == NULL) {
                bytes = small;
                ok = false;
                return;
            }
        }
        size_t total = convert(bytes, most);
        count = (total < most ? total : most) / 2;
    }
    uint16_t At(size_t i) const { return (uint16_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8)); }
};

} // namespace

bool SelectCodePage(unsigned number)
{
    EnsurePage();
    if (number == g_page.number)
        return true;
    CodePage page;
    if (!OpenPage(number, &page))
        return false;
    if (g_page.toUtf16 != kNoConverter) {
        iconv_close(g_page.toUtf16);
        iconv_close(g_page.fromUtf16);
    }
    g_page = page;
    return true;
}

unsigned SelectedCodePage(void)
{
    EnsurePage();
    return g_page.number;
}

bool AnsiIsLeadByte(unsigned char c)
{
    EnsurePage();
    return g_page.lead[c];
}

size_t AnsiToUtf16le(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    EnsurePage();
    Sink sink{out, capacity, 0};
    if (g_page.toUtf16 == kNoConverter) {
        for (size_t i = 0; i < size; i++)
            PutUnit(&sink, in[i] < 0x80 ? in[i] : '?');
        return sink.total;
    }
    Convert(g_page.toUtf16, in, size, &sink, [](const unsigned char *p, size_t, Sink *s) {
        PutUnit(s, p[0]);
        return (size_t)1;
    });
    return sink.total;
}

size_t Utf16leToAnsi(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    EnsurePage();
    Sink sink{out, capacity, 0};
    size &= ~(size_t)1;
    auto refused = [](const unsigned char *p, size_t left, Sink *s) {
        if (left < 2)
            return left;
        uint32_t unit = (uint32_t)p[0] | ((uint32_t)p[1] << 8);
        // A byte the code page leaves undefined was read as the character of
        // its own number: it goes back to that byte.
        unsigned char c = unit < 0x100 && g_page.undefined[unit] ? (unsigned char)unit : '?';
        s->Put(&c, 1);
        if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
            uint32_t low = (uint32_t)p[2] | ((uint32_t)p[3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF)
                return (size_t)4;
        }
        return (size_t)2;
    };
    if (g_page.fromUtf16 == kNoConverter) {
        for (size_t i = 0; i + 1 < size; i += 2) {
            if (in[i + 1] == 0 && in[i] < 0x80)
                sink.Put(&in[i], 1);
            else
                i += refused(in + i, size - i, &sink) - 2;
        }
        return sink.total;
    }
    Convert(g_page.fromUtf16, in, size, &sink, refused);
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
    Units units;
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
    Units units;
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

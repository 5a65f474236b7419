// The installation's ANSI code page against UTF-16LE and UTF-8, through iconv.
#include "platform/emulated/codepage.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

const iconv_t kNoConverter = (iconv_t)-1;

// What Windows gives for a broken double-byte character (a lead byte with no
// second byte, or a pair its table has no character for): the default
// character of its double-byte code pages, KATAKANA MIDDLE DOT.
const uint16_t kDoubleByteDefault = 0x30FB;

// Windows' lead bytes in its double-byte ANSI code pages.
struct LeadRange {
    unsigned page;
    unsigned char first, last;
};
const LeadRange kLeadRanges[] = {
    {932, 0x81, 0x9F}, {932, 0xE0, 0xFC}, {936, 0x81, 0xFE}, {949, 0x81, 0xFE}, {950, 0x81, 0xFE},
};

// Single bytes that iconv leaves undefined but Windows' tables map: to the
// private-use area, in the order of the bytes (and 0xCA of 1255 to the Hebrew
// point it was given). Every other undefined byte Windows reads as the
// character of its own number (0x81 of 1252 is U+0081).
struct WindowsRun {
    unsigned page;
    unsigned char first, last;
    uint16_t unit; // of first; the next bytes follow on
};
const WindowsRun kWindowsRuns[] = {
    {874, 0xDB, 0xDE, 0xF8C1},  {874, 0xFC, 0xFF, 0xF8C5},  {932, 0xA0, 0xA0, 0xF8F0},
    {932, 0xFD, 0xFF, 0xF8F1},  {1253, 0xAA, 0xAA, 0xF8F9}, {1253, 0xD2, 0xD2, 0xF8FA},
    {1253, 0xFF, 0xFF, 0xF8FB}, {1255, 0xCA, 0xCA, 0x05BA}, {1255, 0xD9, 0xDF, 0xF88D},
    {1255, 0xFB, 0xFC, 0xF894}, {1255, 0xFF, 0xFF, 0xF896}, {1257, 0xA1, 0xA1, 0xF8FC},
    {1257, 0xA5, 0xA5, 0xF8FD},
};

// One byte of the table's inverse.
struct Back {
    uint16_t unit;
    unsigned char byte;
};

// The selected code page: the character of every byte that stands on its
// own, made once when the code page is selected, each byte converted alone
// (so that no converter that waits for a combining mark can hold one back
// or merge two); Windows' lead bytes; and, for the double-byte code pages,
// iconv for the pairs and for the way back.
struct CodePage {
    unsigned number = 0;
    bool doubleByte = false;
    uint16_t unit[256] = {};
    bool lead[256] = {};
    Back back[256] = {}; // by unit; for a unit two bytes have, the first
    size_t backCount = 0;
    iconv_t toUtf16 = kNoConverter;   // ANSI -> UTF-16LE (double-byte only)
    iconv_t fromUtf16 = kNoConverter; // UTF-16LE -> ANSI (double-byte only)

    void Close()
    {
        if (toUtf16 != kNoConverter)
            iconv_close(toUtf16);
        if (fromUtf16 != kNoConverter)
            iconv_close(fromUtf16);
        toUtf16 = fromUtf16 = kNoConverter;
    }
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

// Converts size bytes on their own through cd, flushed: true, with the one
// UTF-16 unit they give, when they are exactly one character.
bool ConvertAlone(iconv_t cd, const unsigned char *bytes, size_t size, uint16_t *unit)
{
    iconv(cd, NULL, NULL, NULL, NULL);
    char in[2];
    memcpy(in, bytes, size);
    char *p = in;
    size_t left = size;
    unsigned char out[8];
    char *o = (char *)out;
    size_t room = sizeof out;
    if (iconv(cd, &p, &left, &o, &room) == (size_t)-1 || left != 0 ||
        iconv(cd, NULL, NULL, &o, &room) == (size_t)-1 || o - (char *)out != 2)
        return false;
    *unit = (uint16_t)(out[0] | (out[1] << 8));
    return true;
}

void PutUnit(Sink *sink, uint32_t unit)
{
    unsigned char b[2] = {(unsigned char)(unit & 0xFF), (unsigned char)(unit >> 8)};
    sink->Put(b, 2);
}

// The character of a byte iconv leaves undefined, as Windows reads it.
uint16_t UndefinedByte(unsigned number, unsigned char c)
{
    for (const WindowsRun &r : kWindowsRuns)
        if (r.page == number && c >= r.first && c <= r.last)
            return (uint16_t)(r.unit + (c - r.first));
    return c;
}

// The inverse of the byte table: every unit a byte standing alone gives, in
// order, the lower byte first where two bytes give one unit.
void BuildBack(CodePage *page)
{
    page->backCount = 0;
    for (int c = 0; c < 256; c++)
        if (!page->lead[c])
            page->back[page->backCount++] = Back{page->unit[c], (unsigned char)c};
    std::stable_sort(page->back, page->back + page->backCount,
                     [](const Back &a, const Back &b) { return a.unit < b.unit; });
}

// The byte that stands for unit on its own; false when none does.
bool ByteOf(uint16_t unit, unsigned char *byte)
{
    const Back *end = g_page.back + g_page.backCount;
    const Back *at = std::lower_bound((const Back *)g_page.back, end, unit,
                                      [](const Back &b, uint16_t u) { return b.unit < u; });
    if (at == end || at->unit != unit)
        return false;
    *byte = at->byte;
    return true;
}

bool OpenPage(unsigned number, CodePage *page)
{
    char name[16];
    snprintf(name, sizeof name, "CP%u", number);
    page->toUtf16 = iconv_open("UTF-16LE", name);
    page->fromUtf16 = iconv_open(name, "UTF-16LE");
    if (page->toUtf16 == kNoConverter || page->fromUtf16 == kNoConverter) {
        page->Close();
        return false;
    }
    page->number = number;
    for (const LeadRange &r : kLeadRanges)
        if (r.page == number) {
            page->doubleByte = true;
            for (int c = r.first; c <= r.last; c++)
                page->lead[c] = true;
        }
    bool known = page->doubleByte;
    for (int c = 0; c < 256; c++) {
        unsigned char byte = (unsigned char)c;
        iconv(page->toUtf16, NULL, NULL, NULL, NULL);
        char *p = (char *)&byte;
        size_t left = 1;
        char out[8];
        char *o = out;
        size_t room = sizeof out;
        errno = 0;
        if (!known && iconv(page->toUtf16, &p, &left, &o, &room) == (size_t)-1 &&
            errno == EINVAL) {
            // A code page Windows does not have as an ANSI one, whose bytes
            // iconv finds incomplete on their own: they open a character.
            page->doubleByte = true;
            page->lead[c] = true;
        }
        if (!page->lead[c] && !ConvertAlone(page->toUtf16, &byte, 1, &page->unit[c]))
            page->unit[c] = UndefinedByte(number, byte);
    }
    BuildBack(page);
    if (!page->doubleByte)
        page->Close(); // the table is all there is to it
    return true;
}

// Windows-1252 until the installation says otherwise.
void EnsurePage()
{
    if (g_page.number == 0 && !OpenPage(1252, &g_page)) {
        // No converter at all: ASCII only, every other byte a "?".
        g_page.number = 1252;
        for (int c = 0; c < 256; c++)
            g_page.unit[c] = c < 0x80 ? (uint16_t)c : (uint16_t)'?';
        BuildBack(&g_page);
    }
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

bool SelectCodePage(unsigned number)
{
    EnsurePage();
    if (number == g_page.number)
        return true;
    CodePage page;
    if (!OpenPage(number, &page))
        return false;
    g_page.Close();
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

const uint16_t *AnsiSingleByteTable(void)
{
    EnsurePage();
    return g_page.doubleByte ? NULL : g_page.unit;
}

size_t AnsiCharSize(const unsigned char *p, size_t left)
{
    EnsurePage();
    return left >= 2 && g_page.lead[p[0]] && p[1] != 0 ? 2 : 1;
}

size_t AnsiToUtf16le(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    EnsurePage();
    Sink sink{out, capacity, 0};
    for (size_t i = 0; i < size;) {
        size_t n = AnsiCharSize(in + i, size - i);
        uint16_t unit = g_page.unit[in[i]];
        if (n == 2) {
            if (!ConvertAlone(g_page.toUtf16, in + i, 2, &unit))
                unit = kDoubleByteDefault;
        } else if (g_page.lead[in[i]]) {
            unit = kDoubleByteDefault; // a lead byte with nothing after it
        }
        PutUnit(&sink, unit);
        i += n;
    }
    return sink.total;
}

size_t Utf16leToAnsi(const unsigned char *in, size_t size, unsigned char *out, size_t capacity)
{
    EnsurePage();
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
    if (g_page.doubleByte) {
        Convert(g_page.fromUtf16, in, size, &sink, refused);
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

// The selected ANSI code page: its table of bytes, made once through iconv
// as Windows maps them, its lead bytes and the way back.
#include "platform/emulated/codepage.h"
#include "platform/emulated/codepage_table.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace codepage {

void CodePage::Close()
{
    if (toUtf16 != kNoConverter)
        iconv_close(toUtf16);
    if (fromUtf16 != kNoConverter)
        iconv_close(fromUtf16);
    toUtf16 = fromUtf16 = kNoConverter;
}

namespace {

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

CodePage g_page;

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

} // namespace

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


const CodePage &SelectedPage()
{
    EnsurePage();
    return g_page;
}

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

} // namespace codepage

using namespace codepage;

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


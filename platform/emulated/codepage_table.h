// The selected ANSI code page, as Windows maps its bytes: for the
// conversions of codepage.cpp, not for the code page's users (codepage.h).
#ifndef TESSARIL_PLATFORM_EMULATED_CODEPAGE_TABLE_H
#define TESSARIL_PLATFORM_EMULATED_CODEPAGE_TABLE_H

#include <iconv.h>
#include <stddef.h>
#include <stdint.h>

namespace codepage {

const iconv_t kNoConverter = (iconv_t)-1;

// What Windows gives for a broken double-byte character (a lead byte with no
// second byte, or a pair its table has no character for): the default
// character of its double-byte code pages, KATAKANA MIDDLE DOT.
const uint16_t kDoubleByteDefault = 0x30FB;

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

    void Close();
};

// The selected code page (Windows-1252 until another is selected).
const CodePage &SelectedPage();

// The byte that stands for unit on its own in the selected code page; false
// when none does.
bool ByteOf(uint16_t unit, unsigned char *byte);

// Converts size bytes on their own through cd, flushed: true, with the one
// UTF-16 unit they give, when they are exactly one character.
bool ConvertAlone(iconv_t cd, const unsigned char *bytes, size_t size, uint16_t *unit);

} // namespace codepage

#endif

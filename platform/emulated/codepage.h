// Text conversions of the emulated registry, through iconv: the ANSI code page
// of the Reg* calls (single- or double-byte; the installation's own for the
// offline store) against the UTF-16LE that string values are stored in and
// the UTF-8 in which stores hold names. How names compare is key_names.h.
#ifndef TESSARIL_PLATFORM_EMULATED_CODEPAGE_H
#define TESSARIL_PLATFORM_EMULATED_CODEPAGE_H

#include <stddef.h>
#include <stdint.h>

// Makes the Windows code page numbered number (1252, 1251, 932...) the ANSI
// code page of every conversion below. False, with the code page left as it
// was, when iconv does not know it. Until a code page is chosen it is 1252.
//
// A single-byte code page (874, 1250 to 1258) converts through one table of
// 256 characters, each byte converted on its own when the code page is
// selected: one byte is always one character, both ways, as in Windows'
// tables. A byte iconv leaves undefined is read as Windows reads it: the
// character of its own number (0x81 of 1252 is U+0081), or the private-use
// character Windows' table gives it (0xD9 of 1255 is U+F88D). The double-byte
// code pages (932, 936, 949, 950) have Windows' lead bytes; a lead byte and
// the byte after it are one character, converted by iconv.
bool SelectCodePage(unsigned number);
unsigned SelectedCodePage(void);

// Whether a byte opens a two-byte character in the selected code page (only
// the double-byte ones, such as 932 or 936, have such bytes).
bool AnsiIsLeadByte(unsigned char c);

// The character of each byte of a single-byte code page, the table every
// conversion goes through; NULL for a double-byte one.
const uint16_t *AnsiSingleByteTable(void);

// How many bytes the ANSI character at p (of the left bytes there) takes: 2
// for a lead byte followed by a byte that is not NUL, else 1. Each character
// is one UTF-16 unit, so a text has as many characters as it converts to.
size_t AnsiCharSize(const unsigned char *p, size_t left);

// ANSI bytes (NULs included, taken as they are) into UTF-16LE, one unit per
// character, so 2 * size bytes always hold the result. A broken double-byte
// character (a lead byte with no second, or a pair the code page has no
// character for) is U+30FB, Windows' default character of those code pages.
// Returns the length of the whole conversion; at most capacity bytes are
// stored.
size_t AnsiToUtf16le(const unsigned char *in, size_t size, unsigned char *out, size_t capacity);

// UTF-16LE (a trailing odd byte is ignored) into ANSI bytes. A character the
// code page cannot hold comes out as "?" (a surrogate pair is one character;
// Windows' best-fit replacements are not made). Returns the length of the
// whole conversion, which may exceed capacity; only the first capacity bytes
// are stored.
size_t Utf16leToAnsi(const unsigned char *in, size_t size, unsigned char *out, size_t capacity);

// UTF-8 (as hivex gives names) into UTF-16LE; a malformed byte becomes
// U+FFFD. Returns the whole length; at most capacity bytes are stored.
size_t Utf8ToUtf16le(const char *in, size_t size, unsigned char *out, size_t capacity);

// A UTF-8 name into an ANSI name, NUL-terminated (capacity includes the
// NUL). Returns the converted length, which may be >= capacity, in which
// case out holds a truncated, terminated prefix.
size_t Utf8ToAnsi(const char *in, size_t size, char *out, size_t capacity);

// An ANSI name into UTF-8, NUL-terminated. False when it does not fit.
bool AnsiToUtf8(const char *in, char *out, size_t capacity);

// Decodes one UTF-8 character at *p (of the bytes left before end). A
// malformed sequence yields U+FFFD and consumes one byte. Advances *p.
uint32_t NextUtf8(const char **p, const char *end);

// The UTF-16 units of the character cp, in units: how many (1, or 2 for a
// surrogate pair).
inline size_t Utf16Of(uint32_t cp, uint16_t units[2])
{
    if (cp < 0x10000) {
        units[0] = (uint16_t)cp;
        return 1;
    }
    units[0] = (uint16_t)(0xD800 + ((cp - 0x10000) >> 10));
    units[1] = (uint16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
    return 2;
}

#endif

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
bool SelectCodePage(unsigned number);
unsigned SelectedCodePage(void);

// Whether a byte opens a two-byte character in the selected code page (only
// the double-byte ones, such as 932 or 936, have such bytes).
bool AnsiIsLeadByte(unsigned char c);

// ANSI bytes (NULs included, taken as they are) into UTF-16LE. Each byte
// gives at most one code unit, so 2 * size bytes always hold the result. A
// byte the code page leaves undefined, or a broken double-byte sequence,
// stands for the character of its own number, as Windows reads such bytes.
// Returns the length of the whole conversion; at most capacity bytes are
// stored.
size_t AnsiToUtf16le(const unsigned char *in, size_t size, unsigned char *out, size_t capacity);

// UTF-16LE (a trailing odd byte is ignored) into ANSI bytes. A character the
// code page cannot hold comes out as "?" (a surrogate pair is one character).
// Returns the length of the whole conversion, which may exceed capacity; only
// the first capacity bytes are stored.
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

#endif

// Text conversions of the offline registry: the installation's ANSI code page
// (Windows-1252) against the UTF-16LE that string values are stored in, and
// against the UTF-8 in which hivex hands out key and value names.
#ifndef TESSARIL_PLATFORM_EMULATED_CP1252_H
#define TESSARIL_PLATFORM_EMULATED_CP1252_H

#include <stddef.h>
#include <stdint.h>

// The Unicode code point of one Windows-1252 byte. The five bytes the code
// page leaves undefined map to the C1 controls of the same number, as Windows
// converts them.
uint32_t Cp1252ToUnicode(unsigned char c);

// The Windows-1252 byte of a code point, or '?' when the code page has none.
unsigned char UnicodeToCp1252(uint32_t cp);

// Each byte becomes one UTF-16LE code unit: out must hold 2 * size bytes.
void Cp1252ToUtf16le(const unsigned char *in, size_t size, unsigned char *out);

// Converts size bytes of UTF-16LE (a trailing odd byte is ignored) into at
// most capacity bytes of Windows-1252. A surrogate pair is one character and
// comes out as one '?'. Returns the length of the whole conversion, which may
// exceed capacity; only the first capacity bytes are stored.
size_t Utf16leToCp1252(const unsigned char *in, size_t size, unsigned char *out, size_t capacity);

// Decodes one UTF-8 character at *p (of the size bytes left). A malformed
// sequence yields U+FFFD and consumes one byte. Advances *p.
uint32_t NextUtf8(const char **p, const char *end);

// Converts a NUL-terminated UTF-8 name into Windows-1252 (capacity includes
// the NUL). Returns the converted length, which may be >= capacity, in which
// case out holds a truncated, terminated prefix.
size_t Utf8ToCp1252(const char *in, size_t inSize, char *out, size_t capacity);

// Converts a Windows-1252 string into UTF-8 (capacity includes the NUL).
// False when it does not fit.
bool Cp1252ToUtf8(const char *in, char *out, size_t capacity);

// Folds one code point for comparing names without regard to case: Latin
// letters of the first Unicode blocks, as the registry compares key names.
uint32_t FoldNameChar(uint32_t cp);

// True when a Windows-1252 name and a UTF-8 name (of utf8Size bytes) are equal
// without regard to case, compared character by character in Unicode.
bool NameEqualsUtf8(const char *cp1252Name, const char *utf8Name, size_t utf8Size);

#endif

// How the registry orders and compares key and value names: by their UTF-16
// form in upper case, unit by unit, as Windows keeps subkey lists (so
// "kvtx" < "KVT[" < "kvt_2k"). Every store, lstrcmpiA and the hive writer
// use this one order; names whose upper-case forms are equal are the same.
#ifndef TESSARIL_PLATFORM_EMULATED_KEY_NAMES_H
#define TESSARIL_PLATFORM_EMULATED_KEY_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// One UTF-16 unit in upper case: the letters of Latin-1, Latin Extended-A,
// Greek and Cyrillic, and beyond them Unicode's capital where it is not one
// of the first 256 characters.
uint16_t UpperNameUnit(uint16_t unit);

// The sort key of a UTF-8 name: its UTF-16 units in upper case. Names sort
// as their keys compare; equal keys are the same name.
std::u16string KeyNameSortKey(const char *utf8, size_t size);

// Below zero, zero or above zero as name a sorts before, with or after b, in
// the order of their sort keys: UTF-8 names, and ANSI names (in the code
// page of the Reg* calls, codepage.h).
int CompareKeyNamesUtf8(const char *a, size_t aSize, const char *b, size_t bSize);
int CompareKeyNames(const char *a, const char *b);

// True when an ANSI name and a UTF-8 name (of utf8Size bytes) are the same
// name.
bool NameEqualsUtf8(const char *ansiName, const char *utf8Name, size_t utf8Size);

#endif

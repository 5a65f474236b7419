// How the registry orders key names: by their UTF-16 form in upper case, unit
// by unit, as Windows keeps subkey lists (so "kvtx" < "KVT[" < "kvt_2k").
// Every store and the hive writer list subkeys in this one order.
#ifndef TESSARIL_PLATFORM_EMULATED_KEY_NAMES_H
#define TESSARIL_PLATFORM_EMULATED_KEY_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// One UTF-16 unit in upper case: the letters that FoldNameChar folds.
uint16_t UpperNameUnit(uint16_t unit);

// The sort key of a UTF-8 name: its UTF-16 units in upper case. Names sort
// as their keys compare; equal keys are the same name.
std::u16string KeyNameSortKey(const char *utf8, size_t size);

// Below zero, zero or above zero as name a sorts before, with or after b, in
// the order of their sort keys: UTF-8 names, and Windows-1252 names.
int CompareKeyNamesUtf8(const char *a, size_t aSize, const char *b, size_t bSize);
int CompareKeyNames(const char *a, const char *b);

#endif

// Putting a filter driver into one of the CD-ROM class's filter lists.
#ifndef TESSARIL_REPAIR_FILTER_LIST_H
#define TESSARIL_REPAIR_FILTER_LIST_H

#include "platform/registry.h"

// The longest list text of a log line, in characters.
const size_t kListTextMax = 260;

// Merges driverName into the REG_MULTI_SZ value valueName of classKey: keeps
// the stored entries whose service is registered and that are not the driver
// (nor contain its name, nor hold "?", nor are two characters or fewer),
// appends the driver as the last entry and writes the list back, logging it
// before and after. 1 when the value was written, 0 otherwise. classKey is
// lent, not closed.
int MergeFilterList(HKEY classKey, const char *valueName, const char *driverName);

// The list text of a log line: the list's entries joined by "|", up to the
// first empty entry, cut to 259 characters (260 when the 260th is "|").
// Every byte after the length counts as NUL. text holds kListTextMax + 1.
void FormatFilterList(const BYTE *list, DWORD length, char *text);

#endif

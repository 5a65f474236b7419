// The filter list merge.
#include "repair/filter_list.h"

#include <stdlib.h>
#include <string.h>

#include "log/repair_log.h"
#include "log/text.h"
#include "repair/service_lookup.h"

namespace {

// What the first read offers; a longer list is read again at its full size.
const DWORD kFirstReadSize = 512;

// No filter list comes near this; a value that claims more is not read, so
// that a damaged registry cannot make the tool allocate without bound.
const DWORD kLargestList = 64u * 1024 * 1024;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 0x20) : c; }

// Lowercases the ASCII capitals of text. The second byte of a two-byte
// character (code pages such as 932) is part of that character, not a letter,
// and stays as it is ("\x83\x41", the katakana A, is not turned into
// "\x83\x61", another character). That has two effects on the merge, both
// as the names are spelt on the system:
// - the service lookup is given the entry's own characters, so a registered
//   name whose second bytes fall on capitals is found;
// - the test for the driver's name no longer finds it across a character: in
//   932 an entry "\x83\x47" "RAVLE2K" (a katakana, then "RAVLE2K") does not
//   contain "gravle2k" and is kept when registered, where in a single-byte
//   code page such as 1252 the entry "\x83" "GRAVLE2K" does contain it and is
//   dropped.
void LowerCopy(char *out, const char *text, size_t length)
{
    for (size_t i = 0; i < length;) {
        size_t size = CharacterSize(text + i);
        out[i] = LowerAscii(text[i]);
        if (size == 2)
            out[i + 1] = text[i + 1];
        i += size;
    }
    out[length] = '\0';
}

// Reads the whole value into a fresh buffer, with one NUL after the data.
// The caller frees *data.
LONG ReadWholeValue(HKEY key, const char *name, DWORD *type, BYTE **data, DWORD *length)
{
    DWORD capacity = kFirstReadSize;
    for (int attempt = 0; attempt < 8; attempt++) {
        BYTE *buffer = (BYTE *)calloc((size_t)capacity + 1, 1);
        if (buffer == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
        DWORD size = capacity;
        LONG status = RegQueryValueExA(key, name, NULL, type, buffer, &size);
        if (status == ERROR_SUCCESS) {
            if (size > capacity)
                size = capacity;
            buffer[size] = 0;
            *data = buffer;
            *length = size;
            return ERROR_SUCCESS;
        }
        free(buffer);
        if (status != ERROR_MORE_DATA)
            return status;
        // The value grew, or is larger than offered: ask for what it needs.
        DWORD next = size > capacity ? size : capacity * 2;
        if (next > kLargestList)
            return ERROR_NOT_ENOUGH_MEMORY;
        capacity = next;
    }
    return ERROR_MORE_DATA;
}

void LogList(const char *pattern, const char *driverName, const char *valueName,
             const BYTE *list, DWORD length)
{
    char text[kListTextMax + 1];
    FormatFilterList(list, length, text);
    char line[kLogMessageMax + 1];
    FormatText(line, sizeof line, pattern, driverName, valueName, text);
    WriteLogLine(line);
}

// Whether a stored entry stays in the list; lowered is its lowercased copy.
bool KeepEntry(const char *lowered, size_t length, const char *loweredDriver)
{
    if (strchr(lowered, '?') != NULL)
        return false;
    if (strstr(lowered, loweredDriver) != NULL)
        return false;
    if (length <= 2)
        return false;
    return IsServiceRegistered(lowered) == 1;
}

} // namespace

void FormatFilterList(const BYTE *list, DWORD length, char *text)
{
    size_t position = 0;
    for (;;) {
        BYTE current = position < length ? list[position] : 0;
        size_t filled;
        if (current != 0) {
            text[position] = (char)current;
            filled = position + 1;
        } else {
            BYTE following = position + 1 < length ? list[position + 1] : 0;
            if (following == 0)
                break;
            text[position] = '|';
            text[position + 1] = (char)following;
            filled = position + 2;
        }
        position = filled;
        if (filled >= kListTextMax) {
            position = filled - 1;
            break;
        }
    }
    text[position] = '\0';
}

int MergeFilterList(HKEY classKey, const char *valueName, const char *driverName)
{
    DWORD type = REG_NONE;
    BYTE *stored = NULL;
    DWORD length = 0;
    LONG status = ReadWholeValue(classKey, valueName, &type, &stored, &length);
    // A value that exists but cannot be read is left alone: rewriting it with
    // the driver alone would drop every other filter of the class.
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return 0;
    bool isList = status == ERROR_SUCCESS && type == REG_MULTI_SZ;

    size_t driverLength = strlen(driverName);
    // Kept entries take at most the stored length and one NUL after it; then
    // the driver, its NUL and the closing NUL.
    size_t capacity = (isList ? (size_t)length + 1 : 0) + driverLength + 2;
    BYTE *list = (BYTE *)calloc(capacity, 1);
    char *lowered = (char *)malloc((size_t)length + 1);
    char *loweredDriver = (char *)malloc(driverLength + 1);
    if (list == NULL || lowered == NULL || loweredDriver == NULL) {
        free(stored);
        free(list);
        free(lowered);
        free(loweredDriver);
        return 0;
    }

    size_t written = 0;
    if (isList) {
        LogList("Before create %s in %s values: %s", driverName, valueName, stored, length);
        LowerCopy(loweredDriver, driverName, driverLength);
        // The entry at the read position ends at its NUL, or at the NUL put
        // after the data when it has none of its own.
        size_t position = 0;
        while (length >= 2 && position < (size_t)length - 1) {
            const char *entry = (const char *)stored + position;
            size_t entryLength = strlen(entry);
            LowerCopy(lowered, entry, entryLength);
            if (KeepEntry(lowered, entryLength, loweredDriver)) {
                memcpy(list + written, entry, entryLength + 1);
                written += entryLength + 1;
            }
            position += entryLength + 1;
        }
    }
    memcpy(list + written, driverName, driverLength + 1);
    size_t newLength = written + driverLength + 2;

    int result = 0;
    if (RegSetValueExA(classKey, valueName, 0, REG_MULTI_SZ, list, (DWORD)newLength) ==
        ERROR_SUCCESS) {
        LogList("After create %s in %s values: %s", driverName, valueName, list, (DWORD)newLength);
        result = 1;
    }
    free(stored);
    free(list);
    free(lowered);
    free(loweredDriver);
    return result;
}

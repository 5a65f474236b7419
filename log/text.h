// Bounded string building for the fixed buffers of the wizard and the log.
#ifndef TESSARIL_LOG_TEXT_H
#define TESSARIL_LOG_TEXT_H

#include <stddef.h>

// Copies text into out (size bytes). False, with out left empty, when it
// does not fit with its NUL.
bool CopyText(char *out, size_t size, const char *text);

// Appends text to the string in out. False, with out unchanged, when the
// result does not fit.
bool AppendText(char *out, size_t size, const char *text);

// How many bytes the character at text takes in the system's ANSI code page:
// 2 for a lead byte (IsDBCSLeadByte) followed by a byte that is not NUL, else
// 1. The registry counts names in such characters once it has converted them.
size_t CharacterSize(const char *text);

// Fills out with pattern, each "%s" replaced by the next of the given
// strings (a missing one counts as empty). Every other byte of the pattern,
// and every byte of the strings, is taken literally. The result is cut to
// size - 1 characters when it is longer.
void FormatText(char *out, size_t size, const char *pattern, const char *first,
                const char *second = NULL, const char *third = NULL);

#endif

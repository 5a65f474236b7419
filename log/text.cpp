// Bounded string building for the fixed buffers of the wizard and the log.
#include "log/text.h"

#include <string.h>

#include "platform/base.h"

bool CopyText(char *out, size_t size, const char *text)
{
    size_t n = strlen(text);
    if (size == 0)
        return false;
    if (n >= size) {
        out[0] = '\0';
        return false;
    }
    memcpy(out, text, n + 1);
    return true;
}

bool AppendText(char *out, size_t size, const char *text)
{
    size_t used = strlen(out);
    size_t n = strlen(text);
    if (used + n >= size)
        return false;
    memcpy(out + used, text, n + 1);
    return true;
}

size_t CharacterSize(const char *text)
{
    // Lead bytes are never ASCII.
    BYTE c = (BYTE)text[0];
    return c >= 0x80 && IsDBCSLeadByte(c) && text[1] != '\0' ? 2 : 1;
}

// Appends up to n bytes of text to out[*used], as many as fit before the
// last byte of the buffer.
static void PutText(char *out, size_t size, size_t *used, const char *text, size_t n)
{
    size_t room = size - 1 - *used;
    if (n > room)
        n = room;
    memcpy(out + *used, text, n);
    *used += n;
}

void FormatText(char *out, size_t size, const char *pattern, const char *first,
                const char *second, const char *third)
{
    const char *args[3] = {first, second, third};
    int next = 0;
    size_t used = 0;
    if (size == 0)
        return;
    for (const char *p = pattern;;) {
        const char *mark = strstr(p, "%s");
        PutText(out, size, &used, p, mark ? (size_t)(mark - p) : strlen(p));
        if (mark == NULL)
            break;
        const char *arg = next < 3 && args[next] ? args[next] : "";
        next++;
        PutText(out, size, &used, arg, strlen(arg));
        p = mark + 2;
    }
    out[used] = '\0';
}

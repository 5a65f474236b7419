// Bounded string building for the fixed buffers of the wizard and the log.
#include "log/text.h"

#include <string.h>

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

void FormatText(char *out, size_t size, const char *pattern, const char *first,
                const char *second, const char *third)
{
    const char *args[3] = {first, second, third};
    int next = 0;
    size_t used = 0;
    if (size == 0)
        return;
    for (const char *p = pattern; *p && used + 1 < size; p++) {
        if (p[0] == '%' && p[1] == 's') {
            const char *arg = next < 3 && args[next] ? args[next] : "";
            next++;
            p++;
            for (; *arg && used + 1 < size; arg++)
                out[used++] = *arg;
        } else {
            out[used++] = *p;
        }
    }
    out[used] = '\0';
}

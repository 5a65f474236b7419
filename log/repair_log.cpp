// The repair log: each message appended twice to the log file, opened and closed for every entry.
#include "log/repair_log.h"

#include <string.h>

char LogFilePath[MAX_PATH];

// Copies text into out with every line feed stored as CR LF; returns the
// number of bytes written. out must hold twice the length of text.
static size_t StoreLineFeeds(char *out, const char *text, size_t length)
{
    size_t n = 0;
    for (size_t i = 0; i < length;) {
        const char *feed = (const char *)memchr(text + i, '\n', length - i);
        size_t run = feed ? (size_t)(feed - (text + i)) : length - i;
        memcpy(out + n, text + i, run);
        n += run;
        i += run;
        if (feed) {
            out[n++] = '\r';
            out[n++] = '\n';
            i++;
        }
    }
    return n;
}

void WriteLogLine(const char *message)
{
    if (LogFilePath[0] == '\0')
        return;

    // The message and its line feed, as the entry holds it once.
    char line[kLogMessageMax + 2];
    size_t length = strlen(message);
    if (length > kLogMessageMax)
        length = kLogMessageMax;
    memcpy(line, message, length);
    line[length++] = '\n';

    // First copy: the line and one more line feed; second copy: the line.
    char stored[2 * (kLogMessageMax + 2) + 2];
    size_t once = StoreLineFeeds(stored, line, length);
    memcpy(stored + once, "\r\n", 2);

    HANDLE file = CreateFileA(LogFilePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, stored, (DWORD)(once + 2), &written, NULL);
    WriteFile(file, stored, (DWORD)once, &written, NULL);
    CloseHandle(file);
}

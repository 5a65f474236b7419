// The driver file test, on top of the file calls of the platform.
#include "platform/files.h"

bool FileExists(const char *path)
{
    void *redirection;
    bool suspended = SuspendFileRedirection(&redirection);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (suspended)
        ResumeFileRedirection(redirection);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

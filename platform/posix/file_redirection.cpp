// File system redirection off Windows: there is none to turn off.
#include "platform/files.h"

bool SuspendFileRedirection(void **state)
{
    *state = NULL;
    return false;
}

void ResumeFileRedirection(void *) {}

// The offline backend's calls that answer in a message: its facts put in
// the Linux program's words, for the callers that only show them.
#include "testing/offline_messages.h"

#include "platform/offline/installation_report.h"
#include "tessaril/words.h"

#include <stdio.h>

bool OpenInstallation(const char *path, char *message, size_t size)
{
    OfflineOpenReport report;
    bool ok = OpenOfflineInstallation(path, &report);
    snprintf(message, size, "%s", PhraseOpening(report).Voiced().c_str());
    return ok;
}

bool CloseInstallation(char *message, size_t size, bool *unsaved)
{
    HiveSaveReport report;
    bool ok = CloseOfflineInstallation(&report, unsaved);
    snprintf(message, size, "%s", PhraseClosing(ok, report).Voiced().c_str());
    return ok;
}

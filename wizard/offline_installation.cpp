// OpenInstallation and CloseInstallation of the offline backend, which
// answer in a message, for the callers that only show what it says (a test
// program, the fuzzer): the backend's facts put in the program's words.
#include "platform/installation.h"
#include "platform/offline/installation_report.h"
#include "wizard/offline_words.h"

bool OpenInstallation(const char *path, char *message, size_t size)
{
    OfflineOpenReport report;
    bool ok = OpenOfflineInstallation(path, &report);
    PhraseOpening(report, message, size);
    return ok;
}

bool CloseInstallation(char *message, size_t size, bool *unsaved)
{
    HiveSaveReport report;
    bool ok = CloseOfflineInstallation(&report, unsaved);
    PhraseClosing(ok, report, message, size);
    return ok;
}

// The hive store's load and save that answer in a message: its facts put in
// the Linux program's words, for the callers that only show them.
#include "testing/offline_messages.h"

#include "tessaril/words.h"

#include <stdio.h>

HiveLoadProblem OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  char *message, size_t size)
{
    HiveLoadReport report;
    HiveLoadProblem r = OfflineLoadHive(which, windowsPath, shownPath, &report);
    snprintf(message, size, "%s", PhraseHiveLoad(report).c_str());
    return r;
}

bool OfflineCommitAll(char *message, size_t size)
{
    HiveSaveReport report;
    bool ok = OfflineCommitAll(&report);
    snprintf(message, size, "%s", PhraseHiveSave(report).c_str());
    return ok;
}

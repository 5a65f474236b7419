// The offline backend's calls that answer in a message, for the callers
// that only show what it says (a test program, the fuzzer): the backend's
// facts put in the Linux program's words.
#ifndef TESSARIL_TESTING_OFFLINE_MESSAGES_H
#define TESSARIL_TESTING_OFFLINE_MESSAGES_H

#include "platform/offline/hivex_store.h"

#include <stddef.h>

// Opens the installation whose Windows folder, or the root of whose system
// drive, path names (NULL or empty: none named). False, with a message for
// the user, when it cannot be used (also when its SYSTEM hive may not be
// written, unless the options keep changes in memory); true otherwise, with
// message empty or holding what the user should know (the folder chosen on a
// drive root, warnings), one line each.
bool OpenInstallation(const char *path, char *message, size_t size);

// Writes what the run changed and releases the installation. False, with a
// message, when a change could not be written (*unsaved, when given, tells
// whether the SYSTEM hive's changes are lost: the log has told of them as
// made); true, with message empty or holding a warning for the user,
// otherwise.
bool CloseInstallation(char *message, size_t size, bool *unsaved = NULL);

// A hive's load and every hive's save, as OfflineLoadHive and
// OfflineCommitAll, the report put in words into message.
HiveLoadProblem OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  char *message, size_t size);
bool OfflineCommitAll(char *message, size_t size);

#endif

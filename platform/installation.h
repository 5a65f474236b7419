// The installation a build works on, for the builds that do not run on the
// installation itself: opened before the wizard runs and closed after it.
#ifndef TESSARIL_PLATFORM_INSTALLATION_H
#define TESSARIL_PLATFORM_INSTALLATION_H

#include <stddef.h>

// Opens the installation whose Windows folder, or the root of whose system
// drive, path names (NULL or empty: none named). False, with a message for
// the user, when it cannot be used; true otherwise, with message empty or
// holding what the user should know (the folder chosen on a drive root,
// warnings), one line each.
bool OpenInstallation(const char *path, char *message, size_t size);

// Writes what the run changed and releases the installation. False, with a
// message, when a change could not be written; true, with message empty or
// holding a warning for the user, otherwise.
bool CloseInstallation(char *message, size_t size);

#endif

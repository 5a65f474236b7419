// Which hivex library the running program uses, for "tessaril --version".
#ifndef TESSARIL_PLATFORM_OFFLINE_HIVEX_IN_USE_H
#define TESSARIL_PLATFORM_OFFLINE_HIVEX_IN_USE_H

#include <limits.h>

// The hivex library the process has loaded (file empty: none is, it is
// linked into the program), by its real path, and the package that holds it
// with its release, as the package manager knows them (empty when it does
// not).
struct HivexInUse {
    char file[PATH_MAX] = "";
    char package[256] = "";
    char version[256] = "";
};
void FindHivexInUse(HivexInUse *found);

#endif

// Which hivex library the running program uses, for "tessaril --version".
#ifndef TESSARIL_PLATFORM_OFFLINE_HIVEX_IN_USE_H
#define TESSARIL_PLATFORM_OFFLINE_HIVEX_IN_USE_H

#include <stddef.h>

// One line without its newline: "hivex " and the release of the library the
// process has loaded, as the package manager knows the file, with the file's
// path; when the package manager does not know it, the path and the release
// the program was built against (builtWith, may be empty).
void DescribeHivexInUse(const char *builtWith, char *line, size_t size);

#endif

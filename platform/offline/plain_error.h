// System error numbers in words for the user.
#ifndef TESSARIL_PLATFORM_OFFLINE_PLAIN_ERROR_H
#define TESSARIL_PLATFORM_OFFLINE_PLAIN_ERROR_H

// What went wrong, as the end of a sentence ("... because %s"): plain words
// for the errors a user can meet and act on, the system's own text for the
// rest.
const char *PlainError(int error);

#endif

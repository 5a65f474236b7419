// System error numbers in words for the user.
#include "platform/offline/plain_error.h"

#include <errno.h>
#include <string.h>

const char *PlainError(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission was refused (the user running tessaril may not change that folder, "
               "or a security module or the file's attributes forbid it)";
    case ENOSPC:
        return "the disk is full";
    case EDQUOT:
        return "the disk quota of the user running tessaril is used up";
    case EROFS:
        return "the file system is mounted read-only";
    case EFBIG:
        return "the file would be larger than the system allows this process to write";
    case EIO:
        return "the disk reported a read or write error";
    case ENOMEM:
        return "there was not enough memory";
    case ENOENT:
        return "it no longer exists";
    default:
        return strerror(error);
    }
}

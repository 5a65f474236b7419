// The life of one hive file of a mounted installation: opened without
// following links, locked against other runs, checked (its size, its base
// block, a clean close), opened through hivex, cleared of the new files a
// killed run left beside it, and written back in one crash-safe step: the new
// hive is written beside the old one, flushed, and renamed over it.
#ifndef TESSARIL_PLATFORM_OFFLINE_HIVE_FILE_H
#define TESSARIL_PLATFORM_OFFLINE_HIVE_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/offline/regf_finish.h"

typedef struct hive_h hive_h;

enum OfflineLoadResult {
    kLoadOk = 0,
    kLoadMissing,      // no such file
    kLoadInUse,        // another process holds the hive's lock
    kLoadNotClean,     // the sequence numbers differ
    kLoadCorrupt,      // not a hive, or refused by hivex
    kLoadNoControlSet, // SYSTEM only: neither Select\Default nor Select\Current names a set
    kLoadTooLarge,     // larger than such a hive can be: not read at all
    kLoadLink,         // the file or a folder on its way is a symbolic link
    kLoadFailed        // any other failure (detail in the message)
};

struct HiveFile {
    hive_h *h = nullptr;   // the hive as hivex holds it, once loaded
    int dirfd = -1;        // the folder of the file
    int lockfd = -1;       // the file itself, locked
    char leaf[256] = "";   // the file's name in its folder
    char shown[1024] = ""; // the file's path as messages show it
    struct stat st = {};   // the file as loaded or last written
    uint32_t minor = 0;    // the format's minor version (3: Windows 2000)
    bool writable = false; // the file, its folder and its file system may be written
    const char *readOnly = nullptr; // when not writable: why, in words
    char note[1536] = "";  // what the last save that succeeded has to tell, if anything
    bool inMemory = false; // changes stay in memory: nothing beside the file is touched
                           // and no commit writes anything
    bool backup = false;   // a commit keeps the old file beside the new one
    char kept[320] = "";   // the name the old file was kept under, after such a commit
    RegfFinish finish;     // what the run changed, for the last pass of each commit
};

// Opens, locks and checks the hive file at windowsPath (hive->inMemory and
// hive->backup, set before, are kept) (resolved through the
// host file layer) and opens it through hivex, for writing when it may be
// written. A file larger than maxBytes is refused before anything of it is
// read (kind, "SYSTEM" or "SOFTWARE", names the hive in that message). On
// failure the file is released and message holds a sentence about it
// (naming it as shownPath).
OfflineLoadResult HiveFileLoad(HiveFile *hive, const char *kind, const char *windowsPath,
                               const char *shownPath, off_t maxBytes, char *message, size_t size);

// Writes the hive as hivex holds it into a new file beside the old one (a
// format 1.3 hive keeps the subkey lists Windows 2000 reads), finishes it as
// Windows would have written it (regf_finish.h, from finish), checks it,
// gives it the old file's owner and permissions, flushes it and renames it
// over the old file, whose lock passes to the new one. False, with a message,
// when any step fails: the old file is then as it was, and nothing is left
// beside it (a new file that cannot be removed is named in the message).
// When only the flush of the folder after the rename fails, the new hive is
// in place: true, and hive->note says so. With hive->backup, the old file
// stays beside the new one as "<name>.before-tessaril-YYYYMMDD-HHMMSSZ" (the
// time in UTC; "-2", "-3"... when that name is taken), named in hive->kept: a
// hard link where the file system has them, else a flushed copy; the save
// fails when it cannot be kept. With hive->inMemory nothing is written and
// the result is true.
bool HiveFileCommit(HiveFile *hive, char *message, size_t size);

// Closes the hive, its lock and its folder, without writing.
void HiveFileRelease(HiveFile *hive);

#endif

// The life of one hive file of a mounted installation: opened without
// following links, locked against other runs, checked (its size, its base
// block, a clean close), opened through hivex, cleared of the new files a
// killed run left beside it, and written back in one crash-safe step: the new
// hive is written beside the old one, flushed, and renamed over it.
#ifndef TESSARIL_PLATFORM_OFFLINE_HIVE_FILE_H
#define TESSARIL_PLATFORM_OFFLINE_HIVE_FILE_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/offline/regf_check.h"
#include "platform/offline/regf_finish.h"

typedef struct hive_h hive_h;

// What a hive's load met, for the program to tell: the one answer of a
// load (kHiveLoaded, or the problem that refused it), with its facts in
// HiveLoadReport.
enum HiveLoadProblem {
    kHiveLoaded = 0,
    kHiveFolderLink,   // a folder on the way to the file is a symbolic link
    kHiveMissing,      // the file does not exist
    kHiveLocked,       // another process holds its lock
    kHiveNotRegular,   // it is not a regular file
    kHiveFileLink,     // it is a symbolic link
    kHiveCannotOpen,   // it cannot be opened (error)
    kHiveTooLarge,     // size is above maxBytes: not read
    kHiveNotHive,      // its base block is not a hive's
    kHiveNotClean,     // its two sequence numbers differ
    kHiveBadHeader,    // its base block's checksum or major version is wrong
    kHiveBadSize,      // its header gives a size or root the file does not hold
    kHiveNoProc,       // /proc is not mounted, so hivex cannot be handed the file
    kHiveRefused,      // hivex refuses its structure
    kHiveNoControlSet, // SYSTEM: Select names no control set the hive holds
    kHiveDamaged,      // the whole-hive check found damage (damage says what and where)
    kHiveLoadProblemCount // how many there are
};

struct HiveLoadReport {
    HiveLoadProblem problem = kHiveLoaded;
    int error = 0;                 // kHiveCannotOpen: errno
    long long size = 0;            // kHiveTooLarge: the file's size,
    long long maxBytes = 0;        // and the most that is read
    const char *kind = "";         // "SYSTEM" or "SOFTWARE"
    std::string shown;             // the file as messages show it
    // SYSTEM, loaded: the control sets that Select\Default and
    // Select\Current name (0: none the hive holds), and whether there is a
    // Default value at all.
    unsigned byDefault = 0, byCurrent = 0;
    bool defaultGiven = false;
    RegfCheckReport damage; // kHiveDamaged
};

// Why a hive may not be written.
enum HiveReadOnly {
    kHiveWritable = 0,
    kHiveReadOnlyMount,     // its file system is mounted read-only
    kHiveFileReadOnly,      // the file has no write permission bits
    kHiveFileNotWritable,   // this user may not write the file
    kHiveFolderNotWritable  // this user may not write its folder
};

// The step of a save that failed.
enum SaveStep {
    kSaveNoStep = 0,        // none: the save succeeded
    kSaveCreating,          // creating the new file beside the hive
    kSaveWriting,           // hivex writing it
    kSaveFinishing,         // the last pass (regf_finish.h)
    kSaveChecking,          // reading back its base block
    kSaveOwner,
    kSavePermissions,
    kSaveFlushing,
    kSaveLocking,
    kSaveNaming,            // giving the unnamed file a name beside the hive
    kSaveKeepingOld,        // keeping the old hive beside it (backup)
    kSaveRenaming,          // putting it in place of the hive
    kSaveStepCount          // how many there are
};

// What is on disk after a save.
enum SaveOutcome {
    kSaveNotDue = 0,     // no save was made: nothing to write, or changes kept in memory
    kSaveNewHiveInPlace, // the new hive replaced the old one
    kSaveHiveAsItWas     // the save failed: the hive is byte for byte as it was
};

// What a save met, for the program to tell: the one record of what it left
// on disk.
struct HiveSaveReport {
    SaveOutcome outcome = kSaveNotDue;
    int tries = 0;               // how many times the save was tried
    bool damaged = false;        // the hive is damaged, so it was not written
    SaveStep failed = kSaveNoStep;
    int error = 0;               // the system's error code of the failed step, when a
                                 // call failed (0: see content)
    RegfStatus content = kRegfOk; // kSaveFinishing, kSaveChecking: what the new file
                                  // held (kRegfUnknownLayout: hivex laid the hive out
                                  // otherwise than the last pass knows; kRegfNotACell,
                                  // kRegfWrongKind: it is not the hive written)
    char kept[320] = "";         // the old hive, kept beside the new one under this
                                 // name (only while such a file holds it)
    char left[300] = "";         // a new file left beside the hive: it could not be removed,
    int leftError = 0;           // because of this
    int folderError = 0;         // saved, but its folder could not be flushed: the error
    std::string shown;           // the hive, as its folders spell it on disk
};

struct HiveFile {
    hive_h *h = nullptr;   // the hive as hivex holds it, once loaded
    int dirfd = -1;        // the folder of the file
    int lockfd = -1;       // the file itself, locked
    char leaf[256] = "";   // the file's name in its folder
    std::string shown;     // the file's path as messages show it, whole: the
                           // one place the hive's path is kept
    struct stat st = {};   // the file as loaded or last written
    uint32_t minor = 0;    // the format's minor version (3: Windows 2000)
    bool writable = false; // the file, its folder and its file system may be written
    HiveReadOnly readOnly = kHiveWritable; // why it may not be written
    bool inMemory = false; // changes stay in memory: nothing beside the file is touched
                           // and no commit writes anything
    bool backup = false;   // a commit keeps the old file beside the new one
    bool checkWhole = false; // the whole hive is checked (regf_check.h) before hivex reads it
    RegfFinish finish;     // what the run changed, for the last pass of each commit
};

// Opens, locks and checks the hive file at windowsPath (hive->inMemory,
// hive->backup and hive->checkWhole, set before, are kept) (resolved through
// the host file layer) and opens it through hivex, for writing when it may be
// written; with checkWhole, only once the whole hive passes the check. A
// file larger than maxBytes is refused before anything of it is read (kind,
// "SYSTEM" or "SOFTWARE", names the hive). On failure the file
// is released and report says why (naming it as shownPath).
HiveLoadProblem HiveFileLoad(HiveFile *hive, const char *kind, const char *windowsPath,
                               const char *shownPath, off_t maxBytes, HiveLoadReport *report);

// Writes the hive as hivex holds it into a new file beside the old one (a
// format 1.3 hive keeps the subkey lists Windows 2000 reads), finishes it as
// Windows would have written it (regf_finish.h, from finish), checks it,
// gives it the old file's owner and permissions, flushes it and renames it
// over the old file, whose lock passes to the new one, then flushes the
// folder. One try, told in report: false when a step failed, and the old
// file is then as it was, with nothing beside it (a new file that cannot be
// removed is named in the report). When only the flush of the folder after
// the rename fails, the new hive is in place: true, and report->folderError
// says why. With hive->backup, the old file is kept beside the new one, for
// the rename, as "<name>.before-tessaril-YYYYMMDD-HHMMSSZ" (the time in UTC;
// "-2", "-3"... when that name is taken), named in report->kept: a hard link
// where the file system has them, else a flushed copy; the save fails when it
// cannot be kept, and the copy goes again when the rename fails. With
// hive->inMemory nothing is written: true, outcome kSaveNotDue.
bool HiveFileCommit(HiveFile *hive, HiveSaveReport *report);

// Closes the hive, its lock and its folder, without writing.
void HiveFileRelease(HiveFile *hive);

#endif

// What opening and closing the mounted installation met, for the Linux
// program to tell: the offline forms of OpenInstallation and
// CloseInstallation (platform/installation.h), which answer in facts; the
// program puts them in words (wizard/offline_words.h).
#ifndef TESSARIL_PLATFORM_OFFLINE_INSTALLATION_REPORT_H
#define TESSARIL_PLATFORM_OFFLINE_INSTALLATION_REPORT_H

#include "platform/installation.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/windows_folder.h"

// Why the installation cannot be used.
enum OpenRefusal {
    kOpenUsable = 0,
    kOpenNoPath,        // no path was named
    kOpenNoFolder,      // no Windows folder was found (folder says why)
    kOpenBadName,       // the folder's name cannot follow "C:\"
    kOpenTooLong,       // the folder's path is too long
    kOpenSystemHive,    // the SYSTEM hive cannot be used (system says why)
    kOpenReadOnly,      // the SYSTEM hive may not be written (readOnly says why)
    kOpenSoftwareInUse  // another process holds the SOFTWARE hive
};

// Why the run keeps no log, when it would keep one.
enum LogFolder { kLogFolderFound = 0, kLogFolderLink, kLogFolderMissing };

struct OfflineOpenReport {
    OpenRefusal refusal = kOpenUsable;
    WindowsFolderReport folder;  // folder.folder: the Windows folder
    HiveLoadReport system;
    HiveReadOnly readOnly = kHiveWritable; // the SYSTEM hive's (a refusal, or with
                                           // changes kept in memory a note)
    char logs[600] = "";         // a SYSTEM hive not cleanly closed: its log files
                                 // that hold anything, as "a, b"
    char codePage[32] = "";      // an ANSI code page this system cannot convert
    HiveLoadReport software;
    LogFolder temp = kLogFolderFound;
};

// OpenInstallation, with report telling what it met.
bool OpenOfflineInstallation(const char *path, OfflineOpenReport *report);

// CloseInstallation, with report telling what the save met, and outcome
// (when given) what the run left, read before the hives are released.
bool CloseOfflineInstallation(HiveSaveReport *report, bool *unsaved = NULL,
                              InstallationOutcome *outcome = NULL);

#endif

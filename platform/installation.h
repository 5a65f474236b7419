// The installation a build works on, for the builds that do not run on the
// installation itself: opened before the wizard runs and closed after it.
#ifndef TESSARIL_PLATFORM_INSTALLATION_H
#define TESSARIL_PLATFORM_INSTALLATION_H

#include <stddef.h>

#include <limits.h>

#include <string>
#include <vector>

// How the installation opened next is used. By default changes are saved,
// without a copy of the old hive, and boxes are shown.
struct InstallationOptions {
    bool check = false;  // keep every change in memory: write nothing at all,
                         // to the hives, the log or anywhere else
    bool backup = false; // keep the old SYSTEM hive beside the new one
    bool quiet = false;  // show no boxes (questions are still answered)
};
void SetInstallationOptions(const InstallationOptions &options);

// A change the run made to the SYSTEM hive, saved or not.
struct InstallationChange {
    std::string key;    // below the hive's root: "ControlSet001\Services\kvt_2k"
    std::string value;  // the value set; empty when the key was added
    bool existed;       // the value was there before the run
    std::string before; // its data then (strings in the ANSI code page)
};

// What a run on the installation met and left, for the program to report:
// read after the wizard has run and before the installation is closed (the
// save and the paths), or after it is closed (all but the log).
struct InstallationOutcome {
    std::string windows;          // the Windows folder
    std::string hive;             // its SYSTEM hive, as the load named it
    unsigned controlSet = 0;      // the control set repaired
    int questions = 0;            // questions answered
    bool declined = false;        // the first question was answered No
    bool endOfInput = false;      // the end of input answered a question
    char error[128] = "";         // the error box that ended the run, if any
    bool restartWithheld = false; // the restart question was not put after a failed save
    bool changed = false;         // the run changed the SYSTEM hive (in memory at least)
    bool saved = false;           // and those changes are on disk
    bool saveFailed = false;      // a save failed: the hive is as it was
    std::string kept;             // where the old hive was kept, if it was
    std::string log;              // the log the run wrote, if any
    std::vector<InstallationChange> changes;
};
void GetInstallationOutcome(InstallationOutcome *outcome);

#endif

// What the Linux program tells of a run: the repaired keys as they stand
// before and after the wizard, the exit status decided from the run's
// outcome (its summary in words is offline_words.h).
#ifndef TESSARIL_TESSARIL_REPORT_H
#define TESSARIL_TESSARIL_REPORT_H

#include "platform/installation.h"
#include "platform/version.h"
#include "repair/filter_list.h"

#include <stdio.h>

// The exit statuses of the Linux program.
enum ExitStatus {
    kStatusInOrder = 0,      // saved, or nothing to change
    kStatusNotSaved = 1,     // the changes could not be saved (or the output not written)
    kStatusRefused = 2,      // wrong command line, or an installation that cannot be repaired
    kStatusDeclined = 3,     // No at the first question, or the end of input
    kStatusDriverNotSet = 4, // saved, but a driver could not be set up
    kStatusWouldChange = 5   // a check: a repair would change something or leave a driver out
};

const int kRepairEntries = 3;
const int kFilterValues = 2; // UpperFilters, LowerFilters

// The keys and files a repair sets up, as they stand.
struct RepairState {
    bool listThere[kFilterValues];
    char list[kFilterValues][kListTextMax + 1]; // as the log shows a list
    bool serviceThere[kRepairEntries];
    bool fileThere[kRepairEntries];
    bool listed[kRepairEntries]; // the driver stands once in its list
};

// Reads the state after a run through the registry and file calls (the
// keys and values the wizard has read already: reading them again finds
// nothing new). The system must have been detected (it decides the third
// driver).
void ReadRepairState(RepairState *state);

// The state before the run: the state after it, less the run's changes.
void StateBeforeRun(const InstallationOutcome &outcome, const RepairState &after,
                    RepairState *before);

// The value name of a filter list (0: the one the entries name first) and
// the driver of an entry.
const char *RepairValueName(int list);
const char *RepairDriver(int entry);

// Why a driver is not set up after a run.
enum NotSetUp { kSetUp = 0, kFileMissing, kNoServiceKey, kNotListed, kNotSetUpCount };
NotSetUp WhyNotSetUp(const RepairState &after, int entry);

// Whether every driver is set up.
bool AllDriversSetUp(const RepairState &after);

// The exit status of a run that got past the installation's checks.
int DecideExitStatus(const InstallationOutcome &outcome, bool closed, const RepairState &after,
                     bool check);

// The installation's Windows version, when it is not one the wizard repairs
// (known false: none can be read); false when it is one.
struct SystemVersion {
    bool known;
    DWORD major, minor;
};
bool UnsupportedSystem(SystemVersion *version);

// The installation's version as GetVersionExA gives it (info zeroed first);
// false when none can be read.
bool QueryInstallationVersion(OSVERSIONINFOEXA *info);

#endif

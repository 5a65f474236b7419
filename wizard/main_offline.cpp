// The Linux program: repairs the mounted installation that its PATH argument
// (or TESSARIL_SYSTEMROOT) names. The command line is read with getopt_long.
#include "wizard/main_offline.h"

#include "log/repair_log.h"
#include "log/text.h"
#include "platform/installation.h"
#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "platform/offline/scripted_answers.h"
#include "tessaril_version.h"
#include "wizard/offline_report.h"
#include "wizard/offline_words.h"
#include "wizard/os_detect.h"
#include "wizard/wizard.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef TESSARIL_HIVEX_BUILT_WITH
#define TESSARIL_HIVEX_BUILT_WITH ""
#endif

namespace {

// What is left to do when standard output could not be written: say so, and
// fail a run that would otherwise have ended well.
int CheckOutput(int status)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    SayOutputFailed(stderr, errno);
    return status == kStatusInOrder ? kStatusNotSaved : status;
}

int Refuse(const char *message)
{
    fprintf(stderr, "%s\n", message);
    return kStatusRefused;
}

} // namespace

int TessarilMain(int argc, char **argv)
{
    static const struct option kOptions[] = {
        {"yes", no_argument, NULL, 'y'},     {"check", no_argument, NULL, 'n'},
        {"backup", no_argument, NULL, 'b'},  {"quiet", no_argument, NULL, 'q'},
        {"help", no_argument, NULL, 'h'},    {"version", no_argument, NULL, 'V'},
        {NULL, 0, NULL, 0},
    };
    bool yes = false;
    InstallationOptions options;
    // getopt_long names an unknown option on standard error itself, after
    // the program's name: the name, not the path it was started by.
    char name[] = "tessaril";
    if (argc > 0)
        argv[0] = name;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "ynbqhV", kOptions, NULL)) != -1) {
        switch (c) {
        case 'y':
            yes = true;
            break;
        case 'n':
            options.check = true;
            break;
        case 'b':
            options.backup = true;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'h':
            SayHelp(stdout);
            return CheckOutput(kStatusInOrder);
        case 'V': {
            HivexInUse found;
            FindHivexInUse(&found);
            char hivex[4096 + 300];
            PhraseHivexInUse(found, TESSARIL_HIVEX_BUILT_WITH, hivex, sizeof hivex);
            printf("tessaril %s\n%s\n", TESSARIL_VERSION_TEXT, hivex);
            return CheckOutput(kStatusInOrder);
        }
        default:
            SayTryHelp(stderr);
            return kStatusRefused;
        }
    }
    const char *path = optind < argc ? argv[optind] : getenv("TESSARIL_SYSTEMROOT");
    CommandLineProblem problem = argc - optind > 1                ? kMoreThanOnePath
                                 : options.check && options.backup ? kCheckAndBackup
                                 : path == NULL || path[0] == '\0' ? kNoInstallationNamed
                                                                   : kCommandLineOk;
    if (problem != kCommandLineOk) {
        SayCommandLineProblem(stderr, problem, argc - optind);
        return kStatusRefused;
    }

    char message[8192];
    SetInstallationOptions(options);
    OfflineOpenReport opening;
    bool opened = OpenOfflineInstallation(path, &opening);
    PhraseOpening(opening, message, sizeof message);
    if (!opened)
        return Refuse(message);
    // Windows 2000 and XP only: told before any question, as the wizard
    // itself would tell it after the first.
    DetectOperatingSystem();
    SystemVersion version;
    if (UnsupportedSystem(&version)) {
        InstallationOutcome outcome;
        GetInstallationOutcome(&outcome);
        char refusal[PATH_MAX + 512];
        PhraseUnsupportedSystem(outcome.windows, version, refusal, sizeof refusal);
        if (message[0] != '\0')
            fprintf(stderr, "%s\n", message);
        HiveSaveReport ignored;
        CloseOfflineInstallation(&ignored);
        return Refuse(refusal);
    }
    if (message[0] != '\0')
        fprintf(stderr, "%s\n", message);
    fflush(stderr);

    // Yes to go on, No to the restart, shown as if typed.
    if (yes || options.check)
        OfflineScriptAnswers("y\nn\n");
    RunRepairWizard();
    fflush(stdout);
    InstallationOutcome outcome;
    GetInstallationOutcome(&outcome);
    // What the run left, read where the wizard has read (a declined run has
    // read nothing, and nothing more is read; nor after a failed save, whose
    // changes are not on disk to be read).
    RepairState before, after;
    memset(&after, 0, sizeof after);
    if (!outcome.declined && !outcome.saveFailed)
        ReadRepairState(&after);
    StateBeforeRun(outcome, after, &before);
    // Closing the installation writes nothing the save has not decided; the
    // outcome told is the save's record, read at the close.
    bool unsaved = false;
    HiveSaveReport save;
    bool closed = CloseOfflineInstallation(&save, &unsaved, &outcome);
    PhraseClosing(closed, save, message, sizeof message);
    if (message[0] != '\0')
        fprintf(stderr, "%s\n", message);
    // The log has told of the changes as made: its last line says they did
    // not reach the disk.
    if (unsaved) {
        char line[256];
        FormatText(line, sizeof line, "Fail - Cannot save the registry hive %s", "system32\\config\\system");
        WriteLogLine(line);
    }
    fflush(stderr);
    int status = DecideExitStatus(outcome, closed, after, options.check);
    if (!outcome.declined && !options.quiet)
        PrintSummary(stdout, outcome, before, after, options.check);
    return CheckOutput(status);
}

// The Linux program: repairs the mounted installation that its PATH argument
// (or TESSARIL_SYSTEMROOT) names. The command line is read with getopt_long.
#include "tessaril/run.h"

#include "log/repair_log.h"
#include "log/text.h"
#include "platform/installation.h"
#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "platform/offline/scripted_answers.h"
#include "tessaril_version.h"
#include "tessaril/report.h"
#include "tessaril/words.h"
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
    SayOutputFailed(errno);
    return status == kStatusInOrder ? kStatusNotSaved : status;
}


// What the command line asks for.
struct CommandLine {
    bool yes = false;
    InstallationOptions options;
    const char *path = NULL;
};

// Reads the command line: true to go on with a run; false, with the status
// to end with, when it asked for the help or the version (printed here) or
// is wrong (said here).
bool ReadCommandLine(int argc, char **argv, CommandLine *line, int *status)
{
    static const struct option kOptions[] = {
        {"yes", no_argument, NULL, 'y'},     {"check", no_argument, NULL, 'n'},
        {"backup", no_argument, NULL, 'b'},  {"quiet", no_argument, NULL, 'q'},
        {"help", no_argument, NULL, 'h'},    {"version", no_argument, NULL, 'V'},
        {NULL, 0, NULL, 0},
    };
    // getopt_long names an unknown option on standard error itself, after
    // the program's name: the name, not the path it was started by.
    static char name[] = "tessaril";
    if (argc > 0)
        argv[0] = name;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "ynbqhV", kOptions, NULL)) != -1) {
        switch (c) {
        case 'y':
            line->yes = true;
            break;
        case 'n':
            line->options.check = true;
            break;
        case 'b':
            line->options.backup = true;
            break;
        case 'q':
            line->options.quiet = true;
            break;
        case 'h':
            SayHelp();
            *status = CheckOutput(kStatusInOrder);
            return false;
        case 'V': {
            HivexInUse found;
            FindHivexInUse(&found);
            printf("tessaril %s\n%s\n", TESSARIL_VERSION_TEXT,
                   PhraseHivexInUse(found, TESSARIL_HIVEX_BUILT_WITH).c_str());
            *status = CheckOutput(kStatusInOrder);
            return false;
        }
        default:
            SayTryHelp();
            *status = kStatusRefused;
            return false;
        }
    }
    line->path = optind < argc ? argv[optind] : getenv("TESSARIL_SYSTEMROOT");
    const char *path = line->path;
    CommandLineProblem problem = argc - optind > 1                       ? kMoreThanOnePath
                                 : line->options.check && line->options.backup ? kCheckAndBackup
                                 : path == NULL || path[0] == '\0'        ? kNoInstallationNamed
                                                                          : kCommandLineOk;
    if (problem != kCommandLineOk) {
        SayCommandLineProblem(problem, argc - optind);
        *status = kStatusRefused;
        return false;
    }
    return true;
}

// Opens the installation and refuses one the wizard does not repair, before
// any question: true to go on, false with the status to end with.
bool Open(const CommandLine &line, int *status)
{
    SetInstallationOptions(line.options);
    OfflineOpenReport opening;
    bool opened = OpenOfflineInstallation(line.path, &opening);
    Message message = PhraseOpening(opening);
    if (!opened) {
        message.Say();
        *status = kStatusRefused;
        return false;
    }
    // Windows 2000 and XP only: told before any question, as the wizard
    // itself would tell it after the first.
    DetectOperatingSystem();
    SystemVersion version;
    if (UnsupportedSystem(&version)) {
        InstallationOutcome outcome;
        GetInstallationOutcome(&outcome);
        message.Say();
        HiveSaveReport ignored;
        CloseOfflineInstallation(&ignored);
        Say(kSayError, PhraseUnsupportedSystem(outcome.windows.c_str(), version));
        *status = kStatusRefused;
        return false;
    }
    message.Say();
    fflush(stderr);
    return true;
}

// What a run left: its outcome, read from the save's record at the close,
// and the repaired keys as they stood before it and stand after it.
struct RunEnd {
    InstallationOutcome outcome;
    RepairState before, after;
    bool closed = false; // every change the run made is on disk
};

// Runs the wizard and closes the installation, telling at once a save that
// failed.
void Run(const CommandLine &line, RunEnd *end)
{
    // Yes to go on, No to the restart, shown as if typed.
    if (line.yes || line.options.check)
        OfflineScriptAnswers("y\nn\n");
    RunRepairWizard();
    fflush(stdout);
    InstallationOutcome &outcome = end->outcome;
    GetInstallationOutcome(&outcome);
    // What the run left, read where the wizard has read (a declined run has
    // read nothing, and nothing more is read; nor after a failed save, whose
    // changes are not on disk to be read).
    memset(&end->after, 0, sizeof end->after);
    if (!outcome.declined && !outcome.saveFailed)
        ReadRepairState(&end->after);
    StateBeforeRun(outcome, end->after, &end->before);
    // Closing the installation writes nothing the save has not decided; the
    // outcome told is the save's record, read at the close.
    bool unsaved = false;
    HiveSaveReport save;
    end->closed = CloseOfflineInstallation(&save, &unsaved, &outcome);
    PhraseClosing(end->closed, save).Say();
    // The log has told of the changes as made: its last line says they did
    // not reach the disk.
    if (unsaved) {
        char text[256];
        FormatText(text, sizeof text, "Fail - Cannot save the registry hive %s", "system32\\config\\system");
        WriteLogLine(text);
    }
    fflush(stderr);
}

// The exit status and the summary of a run.
int Report(const CommandLine &line, const RunEnd &end)
{
    int status = DecideExitStatus(end.outcome, end.closed, end.after, line.options.check);
    if (!end.outcome.declined && !line.options.quiet)
        PrintSummary(end.outcome, end.before, end.after, line.options.check);
    return CheckOutput(status);
}

} // namespace

int TessarilMain(int argc, char **argv)
{
    CommandLine line;
    int status = kStatusInOrder;
    if (!ReadCommandLine(argc, argv, &line, &status) || !Open(line, &status))
        return status;
    RunEnd end;
    Run(line, &end);
    return Report(line, end);
}

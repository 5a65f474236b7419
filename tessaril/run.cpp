// The Linux program: repairs the mounted installation or the disk image that
// each PATH argument (or TESSARIL_SYSTEMROOT) names. The command line is read
// with getopt_long.
#include "tessaril/run.h"

#include "log/repair_log.h"
#include "log/text.h"
#include "platform/installation.h"
#include "platform/offline/guest_image.h"
#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "platform/offline/scripted_answers.h"
#include "tessaril_version.h"
#include "tessaril/json_report.h"
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
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

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
    bool json = false;          // the report as JSON on standard output
    const char *windows = NULL; // the Windows folder to take in a disk image
    InstallationOptions options;
    std::vector<const char *> paths;
};

// The run's JSON report, which keeps every message the run tells.
JsonRun *g_record = NULL;

// Every message told: the paths of a disk image's shadow shown as the
// image's, and kept for the JSON report.
void Heard(SayKind kind, std::string *line)
{
    *line = ShowImagePaths(*line);
    if (kind != kSaySummary && g_record != NULL)
        AddJsonMessage(g_record, *line);
}

// Ends a run that stops before its report, after its refusal was told: the
// image released, the JSON report written when asked for.
int Refused(const CommandLine &line, JsonRun *record)
{
    CloseGuestImage();
    record->status = kStatusRefused;
    if (!line.json)
        return kStatusRefused;
    PrintJsonRun(stdout, *record);
    return CheckOutput(kStatusRefused);
}

// Reads the command line: true to go on with a run; false, with the status
// to end with, when it asked for the help or the version (printed here) or
// is wrong (said here).
bool ReadCommandLine(int argc, char **argv, CommandLine *line, int *status)
{
    static const struct option kOptions[] = {
        {"yes", no_argument, NULL, 'y'},     {"check", no_argument, NULL, 'n'},
        {"backup", no_argument, NULL, 'b'},  {"quiet", no_argument, NULL, 'q'},
        {"help", no_argument, NULL, 'h'},    {"version", no_argument, NULL, 'V'},
        {"json", no_argument, NULL, 'j'},    {"windows", required_argument, NULL, 'w'},
        {NULL, 0, NULL, 0},
    };
    // getopt_long names an unknown option on standard error itself, after
    // the program's name: the name, not the path it was started by.
    static char name[] = "tessaril";
    if (argc > 0)
        argv[0] = name;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "ynbqhVjw:", kOptions, NULL)) != -1) {
        switch (c) {
        case 'y':
            line->yes = true;
            break;
        case 'j':
            line->json = true;
            break;
        case 'w':
            line->windows = optarg;
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
    line->paths.assign(argv + optind, argv + argc);
    if (line->paths.empty())
        line->paths.push_back(getenv("TESSARIL_SYSTEMROOT"));
    const char *path = line->paths[0];
    CommandLineProblem problem = line->options.check && line->options.backup ? kCheckAndBackup
                                 : path == NULL || path[0] == '\0'        ? kNoInstallationNamed
                                                                          : kCommandLineOk;
    if (problem != kCommandLineOk) {
        SayCommandLineProblem(problem);
        *status = kStatusRefused;
        return false;
    }
    // The JSON report is all that goes to standard output.
    if (line->json)
        line->options.quiet = true;
    return true;
}

// A disk image is opened through libguestfs, and its installation repaired
// through a shadow of it (guest_image.h): *path becomes the shadow's. True
// to go on, false with the status to end with.
bool OpenImage(const CommandLine &line, const char **path, JsonRun *record, int *status)
{
    if (!IsDiskImage(*path)) {
        if (line.windows == NULL)
            return true;
        Say(kSayError, PhraseWindowsOnFolder(*path));
        *status = Refused(line, record);
        return false;
    }
    ImageOptions options;
    options.readOnly = line.options.check;
    options.windows = line.windows;
    ImageOpenReport image;
    bool opened = OpenGuestImage(*path, options, &image);
    record->image = true;
    record->imageFile = image.image;
    record->format = image.format;
    PhraseImageOpening(image).Say();
    if (!opened) {
        *status = Refused(line, record);
        return false;
    }
    record->filesystem = image.chosen.device;
    record->windowsInImage = std::string("/") + image.chosen.folder;
    *path = GuestImageReport()->shadow;
    return true;
}

// Opens the installation and refuses one the wizard does not repair, before
// any question: true to go on, false with the status to end with.
bool Open(const CommandLine &line, const char *path, JsonRun *record, int *status)
{
    SetInstallationOptions(line.options);
    if (!OpenImage(line, &path, record, status))
        return false;
    OfflineOpenReport opening;
    bool opened = OpenOfflineInstallation(path, &opening);
    Message message = PhraseOpening(opening);
    if (!opened) {
        message.Say();
        *status = Refused(line, record);
        return false;
    }
    record->folder = ShowImagePaths(opening.folder.folder);
    // Windows 2000 and XP only: told before any question, as the wizard
    // itself would tell it after the first.
    DetectOperatingSystem();
    SystemVersion version;
    if (UnsupportedSystem(&version)) {
        InstallationOutcome outcome;
        GetInstallationOutcome(&outcome);
        message.Say();
        record->opened = true;
        ReadJsonRun(record);
        HiveSaveReport ignored;
        CloseOfflineInstallation(&ignored);
        Say(kSayError, PhraseUnsupportedSystem(outcome.windows.c_str(), version));
        *status = Refused(line, record);
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

// Puts the log into the image, shows the outcome's paths as the image's, and
// closes the image; its shutdown, which writes the image out, failing fails
// a run that changed it.
void CloseImage(RunEnd *end, JsonRun *record)
{
    InstallationOutcome &outcome = end->outcome;
    ImageSaveReport put;
    if (!PutBackGuestLog(outcome.log.c_str(), &put)) {
        PhraseImageSave(put).Say();
        outcome.log.clear();
    }
    for (std::string *path : {&outcome.windows, &outcome.hive, &outcome.kept, &outcome.log})
        *path = ShowImagePaths(*path);
    char detail[1024] = "";
    if (!CloseGuestImage(detail, sizeof detail) && outcome.saved) {
        Say(kSayError, PhraseImageClosing(record->imageFile.c_str(), detail));
        end->closed = false;
    }
}

// Runs the wizard and closes the installation, telling at once a save that
// failed.
void Run(const CommandLine &line, RunEnd *end, JsonRun *record)
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
    record->opened = true;
    record->stateKnown = !outcome.declined && !outcome.saveFailed;
    record->after = end->after;
    if (!outcome.declined)
        ReadJsonRun(record);
    // Closing the installation writes nothing the save has not decided; the
    // outcome told is the save's record, read at the close.
    bool unsaved = false;
    HiveSaveReport save;
    end->closed = CloseOfflineInstallation(&save, &unsaved, &outcome);
    PhraseClosing(end->closed, save).Say();
    // An image gets the hive the run saved in its shadow; should that fail,
    // the image keeps its old hive and the run saved nothing.
    if (GuestImageOpen() && outcome.saved) {
        ImagePutBack back;
        const char *kept = strrchr(outcome.kept.c_str(), '/');
        back.hive = true;
        back.kept = kept ? kept + 1 : "";
        ImageSaveReport put;
        if (!PutBackGuestImage(back, &put)) {
            PhraseImageSave(put).Say();
            end->closed = false;
            unsaved = true;
            outcome.saved = false;
            outcome.saveFailed = true;
            outcome.kept.clear();
        }
    }
    // The log has told of the changes as made: its last line says they did
    // not reach the disk.
    if (unsaved) {
        char text[256];
        FormatText(text, sizeof text, "Fail - Cannot save the registry hive %s", "system32\\config\\system");
        WriteLogLine(text);
    }
    if (GuestImageOpen())
        CloseImage(end, record);
    fflush(stderr);
}

// The exit status and the summary of a run.
int Report(const CommandLine &line, const RunEnd &end, JsonRun *record)
{
    int status = DecideExitStatus(end.outcome, end.closed, end.after, line.options.check);
    if (!end.outcome.declined && !line.options.quiet)
        PrintSummary(end.outcome, end.before, end.after, line.options.check);
    if (line.json) {
        const InstallationOutcome &outcome = end.outcome;
        record->status = status;
        record->controlSet = outcome.controlSet;
        record->changed = outcome.changed;
        record->saved = outcome.saved && !outcome.saveFailed;
        record->saveFailed = outcome.saveFailed;
        record->backup = outcome.kept;
        record->log = line.options.check || outcome.declined ? "" : outcome.log;
        // Changes that did not reach the disk are not told as made.
        if (!line.options.check && !record->saved) {
            record->values.clear();
            record->keysAdded.clear();
        }
        PrintJsonRun(stdout, *record);
    }
    return CheckOutput(status);
}

// One run on one installation.
int RunOne(const CommandLine &line, const char *path)
{
    JsonRun record;
    record.path = path;
    record.check = line.options.check;
    g_record = &record;
    ListenToVoice(Heard);
    int status = kStatusInOrder;
    if (Open(line, path, &record, &status)) {
        RunEnd end;
        Run(line, &end, &record);
        status = Report(line, end, &record);
    }
    ListenToVoice(NULL);
    g_record = NULL;
    return status;
}

// Several PATHs: each repaired in turn by a process of its own, as by a run
// of its own; the status is the highest of theirs. Answers are read from
// standard input a byte at a time, so that each run reads only its own.
int RunEach(const CommandLine &line)
{
    int worst = kStatusInOrder;
    for (const char *path : line.paths) {
        fflush(stdout);
        fflush(stderr);
        pid_t pid = fork();
        if (pid == 0) {
            setvbuf(stdin, NULL, _IONBF, 0);
            _exit(RunOne(line, path));
        }
        int status = kStatusNotSaved, how = 0;
        if (pid > 0 && waitpid(pid, &how, 0) == pid && WIFEXITED(how))
            status = WEXITSTATUS(how);
        if (status > worst)
            worst = status;
    }
    return worst;
}

} // namespace

int TessarilMain(int argc, char **argv)
{
    CommandLine line;
    int status = kStatusInOrder;
    if (!ReadCommandLine(argc, argv, &line, &status))
        return status;
    if (line.paths.size() > 1)
        return RunEach(line);
    return RunOne(line, line.paths[0]);
}

// The Linux program: repairs the mounted installation or the disk image that
// each PATH argument (or TESSARIL_SYSTEMROOT) names. The command line is read
// with getopt_long.
#include "wizard/main_offline.h"

#include "log/repair_log.h"
#include "log/text.h"
#include "platform/installation.h"
#include "platform/offline/guest_image.h"
#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "platform/offline/scripted_answers.h"
#include "tessaril_version.h"
#include "wizard/offline_json.h"
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
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifndef TESSARIL_HIVEX_BUILT_WITH
#define TESSARIL_HIVEX_BUILT_WITH ""
#endif

namespace {

// What a run was asked to do beyond the installation's options.
struct RunRequest {
    bool yes = false;
    bool json = false;           // the report as JSON on standard output
    const char *windows = NULL;  // the Windows folder to take in an image
};

// What is left to do when standard output could not be written: say so, and
// fail a run that would otherwise have ended well.
int CheckOutput(int status)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    SayOutputFailed(stderr, errno);
    return status == kStatusInOrder ? kStatusNotSaved : status;
}

// A message for the user on standard error, with the paths of an image's
// shadow shown as the image's own, and kept for the JSON report.
void Say(const char *message, JsonRun *record)
{
    if (message[0] == '\0')
        return;
    char shown[8192 + 1024];
    ShowImagePaths(message, shown, sizeof shown);
    fprintf(stderr, "%s\n", shown);
    AddJsonMessage(record, shown);
}

// A path of the run's outcome as the user knows it.
void ShowPath(char *path, size_t size)
{
    char shown[PATH_MAX + 1024];
    ShowImagePaths(path, shown, sizeof shown);
    size_t n = strnlen(shown, size - 1);
    memcpy(path, shown, n);
    path[n] = '\0';
}

// Ends a run: the image released, the JSON report written when asked for.
int Finish(int status, const RunRequest &request, JsonRun *record)
{
    CloseGuestImage();
    record->status = status;
    if (request.json)
        PrintJsonRun(stdout, *record);
    return request.json ? CheckOutput(status) : status;
}

int Refuse(const char *message, const RunRequest &request, JsonRun *record)
{
    Say(message, record);
    return Finish(kStatusRefused, request, record);
}

int RunOne(const char *path, const InstallationOptions &options, const RunRequest &request);

// Several PATHs: each repaired in turn by a process of its own, as by a run
// of its own; the status is the highest of theirs. Answers are read from
// standard input a byte at a time, so that each run reads only its own.
int RunEach(const std::vector<const char *> &paths, const InstallationOptions &options,
            const RunRequest &request)
{
    int worst = kStatusInOrder;
    for (const char *path : paths) {
        fflush(stdout);
        fflush(stderr);
        pid_t pid = fork();
        if (pid == 0) {
            setvbuf(stdin, NULL, _IONBF, 0);
            int status = RunOne(path, options, request);
            fflush(stdout);
            _exit(status);
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
    static const struct option kOptions[] = {
        {"yes", no_argument, NULL, 'y'},     {"check", no_argument, NULL, 'n'},
        {"backup", no_argument, NULL, 'b'},  {"quiet", no_argument, NULL, 'q'},
        {"help", no_argument, NULL, 'h'},    {"version", no_argument, NULL, 'V'},
        {"json", no_argument, NULL, 'j'},    {"windows", required_argument, NULL, 'w'},
        {NULL, 0, NULL, 0},
    };
    RunRequest request;
    InstallationOptions options;
    // getopt_long names an unknown option on standard error itself, after
    // the program's name: the name, not the path it was started by.
    char name[] = "tessaril";
    if (argc > 0)
        argv[0] = name;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "ynbqhVjw:", kOptions, NULL)) != -1) {
        switch (c) {
        case 'y':
            request.yes = true;
            break;
        case 'j':
            request.json = true;
            break;
        case 'w':
            request.windows = optarg;
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
    std::vector<const char *> paths(argv + optind, argv + argc);
    if (paths.empty())
        paths.push_back(getenv("TESSARIL_SYSTEMROOT"));
    CommandLineProblem problem = options.check && options.backup          ? kCheckAndBackup
                                 : paths[0] == NULL || paths[0][0] == '\0' ? kNoInstallationNamed
                                                                           : kCommandLineOk;
    if (problem != kCommandLineOk) {
        SayCommandLineProblem(stderr, problem);
        return kStatusRefused;
    }
    // The JSON report is all that goes to standard output.
    if (request.json)
        options.quiet = true;
    if (paths.size() > 1)
        return RunEach(paths, options, request);
    return RunOne(paths[0], options, request);
}

namespace {

int RunOne(const char *path, const InstallationOptions &options, const RunRequest &request)
{
    const bool yes = request.yes;
    JsonRun record;
    record.path = path;
    record.check = options.check;
    char message[8192];
    SetInstallationOptions(options);
    // A disk image is opened through libguestfs, and its installation
    // repaired through a shadow of it (guest_image.h).
    if (IsDiskImage(path)) {
        ImageOptions imageOptions;
        imageOptions.readOnly = options.check;
        imageOptions.windows = request.windows;
        ImageOpenReport image;
        bool opened = OpenGuestImage(path, imageOptions, &image);
        record.image = true;
        record.imageFile = image.image;
        record.format = image.format;
        PhraseImageOpening(image, message, sizeof message);
        if (!opened)
            return Refuse(message, request, &record);
        record.filesystem = image.chosen.device;
        record.windowsInImage = std::string("/") + image.chosen.folder;
        Say(message, &record);
        path = GuestImageReport()->shadow;
    } else if (request.windows != NULL) {
        PhraseWindowsOnFolder(path, message, sizeof message);
        return Refuse(message, request, &record);
    }
    OfflineOpenReport opening;
    bool opened = OpenOfflineInstallation(path, &opening);
    PhraseOpening(opening, message, sizeof message);
    if (!opened)
        return Refuse(message, request, &record);
    {
        char folder[PATH_MAX + 1024];
        ShowImagePaths(opening.folder.folder, folder, sizeof folder);
        record.folder = folder;
    }
    // Windows 2000 and XP only: told before any question, as the wizard
    // itself would tell it after the first.
    DetectOperatingSystem();
    SystemVersion version;
    if (UnsupportedSystem(&version)) {
        record.opened = true;
        ReadJsonRun(&record);
        InstallationOutcome outcome;
        GetInstallationOutcome(&outcome);
        char refusal[PATH_MAX + 512];
        PhraseUnsupportedSystem(outcome.windows, version, refusal, sizeof refusal);
        Say(message, &record);
        HiveSaveReport ignored;
        CloseOfflineInstallation(&ignored);
        return Refuse(refusal, request, &record);
    }
    Say(message, &record);
    fflush(stderr);

    // Yes to go on, No to the restart, shown as if typed.
    if (yes || options.check)
        OfflineScriptAnswers("y\nn\n");
    RunRepairWizard();
    fflush(stdout);
    InstallationOutcome outcome;
    GetInstallationOutcome(&outcome);
    // What the run left, read where the wizard has read (a declined run has
    // read nothing, and nothing more is read; after a failed save nothing is
    // read either, as the last close of a key would try the save again).
    RepairState before, after;
    memset(&after, 0, sizeof after);
    if (!outcome.declined && !outcome.saveFailed)
        ReadRepairState(&after);
    StateBeforeRun(outcome, after, &before);
    record.opened = true;
    record.stateKnown = !outcome.declined && !outcome.saveFailed;
    record.after = after;
    if (!outcome.declined)
        ReadJsonRun(&record);
    // Closing the installation writes what the run changed and not yet
    // written; a failure is told before the summary.
    bool unsaved = false;
    HiveSaveReport save;
    bool closed = CloseOfflineInstallation(&save, &unsaved);
    PhraseClosing(closed, save, message, sizeof message);
    Say(message, &record);
    InstallationOutcome closing;
    GetInstallationOutcome(&closing);
    // An image gets the hive the run saved in its shadow; should that fail,
    // the image keeps its old hive and the run saved nothing.
    if (GuestImageOpen()) {
        ImagePutBack back;
        const char *kept = strrchr(outcome.kept, '/');
        back.hive = closed && outcome.changed && !options.check;
        back.kept = kept ? kept + 1 : "";
        ImageSaveReport put;
        if (!PutBackGuestImage(back, &put)) {
            PhraseImageSave(put, message, sizeof message);
            Say(message, &record);
            closed = false;
            unsaved = true;
            closing.saveFailed = true;
            outcome.saved = false;
            outcome.kept[0] = '\0';
        }
    }
    // The log has told of the changes as made: its last line says they did
    // not reach the disk.
    if (unsaved) {
        char line[256];
        FormatText(line, sizeof line, "Fail - Cannot save the registry hive %s", "system32\\config\\system");
        WriteLogLine(line);
    }
    if (GuestImageOpen()) {
        ImageSaveReport put;
        if (!PutBackGuestLog(outcome.log, &put)) {
            PhraseImageSave(put, message, sizeof message);
            Say(message, &record);
            outcome.log[0] = '\0';
        }
        ShowPath(outcome.windows, sizeof outcome.windows);
        ShowPath(outcome.hive, sizeof outcome.hive);
        ShowPath(outcome.kept, sizeof outcome.kept);
        ShowPath(outcome.log, sizeof outcome.log);
        char detail[1024] = "";
        if (!CloseGuestImage(detail, sizeof detail) && outcome.saved) {
            PhraseImageClosing(record.imageFile.c_str(), detail, message, sizeof message);
            Say(message, &record);
            closed = false;
        }
    }
    fflush(stderr);
    outcome.saveFailed = outcome.saveFailed || closing.saveFailed;
    int status = DecideExitStatus(outcome, closed, after, options.check);
    record.controlSet = outcome.controlSet;
    record.changed = outcome.changed;
    record.saved = outcome.saved && !outcome.saveFailed;
    record.saveFailed = outcome.saveFailed;
    record.backup = outcome.kept;
    record.log = options.check ? "" : outcome.log;
    if (!outcome.declined && !options.quiet)
        PrintSummary(stdout, outcome, before, after, options.check);
    if (request.json)
        return Finish(status, request, &record);
    return CheckOutput(status);
}

} // namespace

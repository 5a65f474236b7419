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

const char kTryHelp[] = "tessaril: try 'tessaril --help' for more information.\n";

const char kHelp[] =
    "Usage: tessaril [OPTION]... [PATH]\n"
    "Repair the registration of the CD-ROM filter drivers Gravle2k, kvt_2k and\n"
    "Mbx7_2k (Windows 2000) or Mbx7_xp (Windows XP) in a Windows 2000 or XP\n"
    "installation whose disk is mounted read-write.\n"
    "\n"
    "PATH is the installation's Windows folder (/mnt/xp/WINDOWS), or the root of\n"
    "its mounted system drive (/mnt/xp): tessaril then finds the Windows folder,\n"
    "and when there are several takes the one boot.ini's default names. Without\n"
    "PATH, the environment variable TESSARIL_SYSTEMROOT names it.\n"
    "\n"
    "  -y, --yes      answer the first question Yes and the restart question No\n"
    "                 without reading standard input; both are still shown\n"
    "  -n, --check    repair in memory only and tell what a repair would change:\n"
    "                 ask nothing and write nothing (no hive, no log)\n"
    "  -b, --backup   keep the hive as it was beside the repaired one, as\n"
    "                 system.before-tessaril-YYYYMMDD-HHMMSSZ (UTC)\n"
    "  -q, --quiet    print nothing on standard output (no boxes, no summary);\n"
    "                 errors and warnings still go to standard error\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and the hivex library in use, and exit\n"
    "\n"
    "Without --yes, answer each question with y or n on standard input (the end\n"
    "of input answers No), so printf 'y\\nn\\n' | tessaril PATH runs unattended.\n"
    "\n"
    "What it changes: only the SYSTEM hive, system32/config/system, in the control\n"
    "set that Select\\Default names (Select\\Current's when Default names none):\n"
    "the UpperFilters and LowerFilters values of the CD-ROM class key,\n"
    "Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}, and the service keys\n"
    "of the three drivers when they are missing, in the installation's own ANSI\n"
    "code page (Control\\Nls\\CodePage, ACP). The hive is rewritten only when\n"
    "something in it changes, once, into a new file renamed over the old one.\n"
    "\n"
    "The log: Temp/Tessaril.log in the Windows folder, rewritten on every run that\n"
    "gets past the first question. At the end of such a run a summary tells what\n"
    "changed, which drivers could not be set up, and where the log is.\n"
    "\n"
    "Exit status:\n"
    "  0  the installation is in order: the repair was saved, or there was\n"
    "     nothing to change\n"
    "  1  the changes could not be saved (the hive is as it was), or standard\n"
    "     output could not be written\n"
    "  2  wrong command line, or an installation tessaril cannot repair as it\n"
    "     stands: not found, not Windows 2000 or XP, damaged, not shut down\n"
    "     cleanly, read-only, or in use by another run; refused before any\n"
    "     question, with nothing changed and no log written\n"
    "  3  declined: No at the first question, or the end of input before an\n"
    "     answer; nothing changed\n"
    "  4  saved, but at least one driver could not be set up (its file is\n"
    "     missing, its service key could not be made or its list not written);\n"
    "     the summary names them\n"
    "  5  (--check) a repair would change something or could not set up every\n"
    "     driver\n"
    "\n"
    "Recipes for disks, disk images and virtual machine images: man tessaril\n";

// What is left to do when standard output could not be written: say so, and
// fail a run that would otherwise have ended well.
int CheckOutput(int status)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    fprintf(stderr, "tessaril: standard output could not be written: %s\n", strerror(errno));
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
            fputs(kHelp, stdout);
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
            fputs(kTryHelp, stderr);
            return kStatusRefused;
        }
    }
    if (argc - optind > 1) {
        fprintf(stderr, "tessaril: one PATH only, not %d\n", argc - optind);
        fputs(kTryHelp, stderr);
        return kStatusRefused;
    }
    if (options.check && options.backup) {
        fputs("tessaril: --check writes nothing, so it keeps no backup either: give one of "
              "--check and --backup\n",
              stderr);
        fputs(kTryHelp, stderr);
        return kStatusRefused;
    }
    const char *path = optind < argc ? argv[optind] : getenv("TESSARIL_SYSTEMROOT");
    if (path == NULL || path[0] == '\0') {
        fputs("tessaril: name the installation: its Windows folder or the root of its system "
              "drive, as PATH or in TESSARIL_SYSTEMROOT\n",
              stderr);
        fputs(kTryHelp, stderr);
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
    char system[256];
    if (DescribeUnsupportedSystem(system, sizeof system)) {
        InstallationOutcome outcome;
        GetInstallationOutcome(&outcome);
        char refusal[PATH_MAX + 512];
        snprintf(refusal, sizeof refusal,
                 "tessaril: the installation at %s %s, and tessaril repairs only Windows 2000 "
                 "and XP. Nothing was changed.",
                 outcome.windows, system);
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
    // read nothing, and nothing more is read; after a failed save nothing is
    // read either, as the last close of a key would try the save again).
    RepairState before, after;
    memset(&after, 0, sizeof after);
    if (!outcome.declined && !outcome.saveFailed)
        ReadRepairState(&after);
    StateBeforeRun(outcome, after, &before);
    // Closing the installation writes what the run changed and not yet
    // written; a failure is told before the summary.
    bool unsaved = false;
    HiveSaveReport save;
    bool closed = CloseOfflineInstallation(&save, &unsaved);
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
    InstallationOutcome closing;
    GetInstallationOutcome(&closing);
    outcome.saveFailed = outcome.saveFailed || closing.saveFailed;
    int status = DecideExitStatus(outcome, closed, after, options.check);
    if (!outcome.declined && !options.quiet)
        PrintSummary(stdout, outcome, before, after, options.check);
    return CheckOutput(status);
}

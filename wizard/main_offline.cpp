// The Linux program: repairs the mounted installation that its PATH argument
// (or TESSARIL_SYSTEMROOT) names. The command line is read with getopt_long.
#include "wizard/main_offline.h"

#include "platform/installation.h"
#include "platform/offline/hivex_in_use.h"
#include "platform/offline/scripted_answers.h"
#include "tessaril_version.h"
#include "wizard/wizard.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef TESSARIL_HIVEX_BUILT_WITH
#define TESSARIL_HIVEX_BUILT_WITH ""
#endif

namespace {

const char kUsage[] = "Usage: tessaril [OPTION]... [PATH]\n";

const char kTryHelp[] = "Try 'tessaril --help' for more information.\n";

const char kHelp[] =
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
    "code page (Control\\Nls\\CodePage, ACP). The hive is rewritten once, into a\n"
    "new file renamed over the old one. A hive that is damaged, was not shut down\n"
    "cleanly, is read-only or in use by another run is refused and left as it is.\n"
    "\n"
    "The log: Temp/Tessaril.log in the Windows folder, rewritten on every run.\n"
    "\n"
    "Exit status:\n"
    "  0  the run ended (also when the first question is answered No or the\n"
    "     installation is not Windows 2000 or XP)\n"
    "  1  the changes could not be saved (the log's last line says so)\n"
    "  2  wrong command line, or the installation cannot be used\n"
    "\n"
    "Recipes for disks, disk images and virtual machine images: man tessaril\n";

int Usage(FILE *to, bool full)
{
    fputs(kUsage, to);
    fputs(full ? kHelp : kTryHelp, to);
    return full ? 0 : 2;
}

} // namespace

int TessarilMain(int argc, char **argv)
{
    static const struct option kOptions[] = {
        {"yes", no_argument, NULL, 'y'},
        {"help", no_argument, NULL, 'h'},
        {"version", no_argument, NULL, 'V'},
        {NULL, 0, NULL, 0},
    };
    bool yes = false;
    int c;
    // getopt_long names an unknown option on standard error itself.
    while ((c = getopt_long(argc, argv, "yhV", kOptions, NULL)) != -1) {
        switch (c) {
        case 'y':
            yes = true;
            break;
        case 'h':
            return Usage(stdout, true);
        case 'V': {
            char hivex[4096 + 300];
            DescribeHivexInUse(TESSARIL_HIVEX_BUILT_WITH, hivex, sizeof hivex);
            printf("tessaril %s\n%s\n", TESSARIL_VERSION_TEXT, hivex);
            return 0;
        }
        default:
            return Usage(stderr, false);
        }
    }
    if (argc - optind > 1) {
        fprintf(stderr, "tessaril: one PATH only, not %d\n", argc - optind);
        return Usage(stderr, false);
    }
    const char *path = optind < argc ? argv[optind] : getenv("TESSARIL_SYSTEMROOT");
    if (path == NULL || path[0] == '\0') {
        fputs("tessaril: name the installation: its Windows folder or the root of its system "
              "drive, as PATH or in TESSARIL_SYSTEMROOT\n",
              stderr);
        return Usage(stderr, false);
    }

    char message[8192];
    if (!OpenInstallation(path, message, sizeof message)) {
        fprintf(stderr, "%s\n", message);
        return 2;
    }
    if (message[0] != '\0')
        fprintf(stderr, "%s\n", message);
    fflush(stderr);
    // Yes to go on, No to the restart, shown as if typed.
    if (yes)
        OfflineScriptAnswers("y\nn\n");
    int code = RunRepairWizard();
    fflush(stdout);
    // Closing the installation writes what the run changed and not yet
    // written.
    bool saved = CloseInstallation(message, sizeof message);
    if (message[0] != '\0')
        fprintf(stderr, "%s\n", message);
    return saved ? code : 1;
}

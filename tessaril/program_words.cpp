// The Linux program's own sentences: its help, its command line errors, the
// refusal of another Windows, and the summary of a run.
#include "tessaril/words.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>


static const char kHelp[] =
    "Usage: tessaril [OPTION]... [PATH]...\n"
    "Repair the registration of the CD-ROM filter drivers Gravle2k, kvt_2k and\n"
    "Mbx7_2k (Windows 2000) or Mbx7_xp (Windows XP) in a Windows 2000 or XP\n"
    "installation whose disk is mounted read-write, or in a disk image.\n"
    "\n"
    "PATH is the installation's Windows folder (/mnt/xp/WINDOWS), the root of\n"
    "its mounted system drive (/mnt/xp), or a disk image file (raw, qcow2, VMDK,\n"
    "VDI, VHD; partitioned or a bare volume), which tessaril opens through\n"
    "libguestfs as an ordinary user, without mounting it. tessaril finds the\n"
    "Windows folder, and when there are several takes the one boot.ini's default\n"
    "names. Without PATH, the environment variable TESSARIL_SYSTEMROOT names it.\n"
    "Several PATHs are repaired in turn, each as by a run of its own; the exit\n"
    "status is then the highest of theirs.\n"
    "\n"
    "  -y, --yes      answer the first question Yes and the restart question No\n"
    "                 without reading standard input; both are still shown\n"
    "  -n, --check    repair in memory only and tell what a repair would change:\n"
    "                 ask nothing and write nothing (no hive, no log)\n"
    "  -b, --backup   keep the hive as it was beside the repaired one, as\n"
    "                 system.before-tessaril-YYYYMMDD-HHMMSSZ (UTC)\n"
    "  -q, --quiet    print nothing on standard output (no boxes, no summary);\n"
    "                 errors and warnings still go to standard error\n"
    "  -j, --json     print one JSON object per run on standard output, in place\n"
    "                 of the boxes and the summary (with --yes or --check, or\n"
    "                 the answers on standard input)\n"
    "  -w, --windows=FOLDER\n"
    "                 in a disk image that holds several Windows folders, the one\n"
    "                 to repair, as listed: WINNT, or with its file system,\n"
    "                 /dev/sda2/WINNT\n"
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
    "     cleanly, read-only, or in use by another run or a virtual machine;\n"
    "     refused before any question, with nothing changed and no log written\n"
    "  3  declined: No at the first question, or the end of input before an\n"
    "     answer; nothing changed\n"
    "  4  saved, but at least one driver could not be set up (its file is\n"
    "     missing, its service key could not be made or its list not written);\n"
    "     the summary names them\n"
    "  5  (--check) a repair would change something or could not set up every\n"
    "     driver\n"
    "\n"
    "Recipes for disks, disk images and virtual machine images: man tessaril\n";

void SayHelp(void) { fputs(kHelp, stdout); }

void SayTryHelp(void) { Say(kSayError, "try 'tessaril --help' for more information."); }

void SayCommandLineProblem(CommandLineProblem problem)
{
    if (problem == kCheckAndBackup)
        Say(kSayError, "--check writes nothing, so it keeps no backup either: give one of "
                       "--check and --backup");
    else
        Say(kSayError, "name the installation: its Windows folder or the root of its system "
                       "drive, as PATH or in TESSARIL_SYSTEMROOT");
    SayTryHelp();
}

std::string PhraseWindowsOnFolder(const char *path)
{
    return Text("--windows names a Windows folder inside a disk image, and %s is no image: name the "
                "Windows folder itself as PATH.",
                path);
}

const char *StatusMeaning(int status)
{
    switch (status) {
    case kStatusInOrder:
        return "the installation is in order: the repair was saved, or there was nothing to change";
    case kStatusNotSaved:
        return "the changes could not be saved; the hive is as it was";
    case kStatusRefused:
        return "refused: tessaril cannot repair the installation as it stands; nothing was changed";
    case kStatusDeclined:
        return "declined; nothing was changed";
    case kStatusDriverNotSet:
        return "saved, but at least one driver could not be set up";
    case kStatusWouldChange:
        return "a repair would change something or could not set up every driver";
    default:
        return "";
    }
}

void SayOutputFailed(int error) { Say(kSayError, Text("standard output could not be written: %s", strerror(error))); }

std::string PhraseUnsupportedSystem(const char *windows, const SystemVersion &version)
{
    static const struct {
        DWORD major, minor;
        const char *name;
    } kNames[] = {
        {4, 0, "Windows NT 4.0"},
        {6, 0, "Windows Vista or Server 2008"},
        {6, 1, "Windows 7 or Server 2008 R2"},
        {6, 2, "Windows 8 or Server 2012"},
        {6, 3, "Windows 8.1 or Server 2012 R2"},
        {10, 0, "Windows 10 or later"},
    };
    std::string system;
    if (!version.known) {
        system = "names no Windows version that can be read (in the SOFTWARE hive)";
    } else {
        const char *name = version.major < 5 ? "an NT release older than Windows 2000"
                                             : "an NT release newer than Windows XP";
        for (const auto &k : kNames)
            if (k.major == version.major && k.minor == version.minor)
                name = k.name;
        system = Text("is %s (version %lu.%lu)", name, (unsigned long)version.major,
                      (unsigned long)version.minor);
    }
    return Text("the installation at %s %s, and tessaril repairs only Windows 2000 "
                "and XP. Nothing was changed.",
                windows, system.c_str());
}

namespace {

const char *const kWhyNotSetUp[] = {"", "its file is missing or cannot be opened",
                                    "its service key could not be made",
                                    "its filter list could not be written"};
static_assert(sizeof kWhyNotSetUp / sizeof *kWhyNotSetUp == kNotSetUpCount, "a reason has no words");

std::string Quoted(bool there, const char *list) { return there ? Text("\"%s\"", list) : "none"; }

} // namespace

void PrintSummary(const InstallationOutcome &outcome, const RepairState &before, const RepairState &after,
                  bool check)
{
    std::string controlSet = "the current control set";
    if (outcome.controlSet != 0)
        controlSet = Text("ControlSet%03u", outcome.controlSet);
    if (check)
        Say(kSaySummary, Text("checked %s of %s: %s", controlSet.c_str(), outcome.hive.c_str(),
                              outcome.changed ? "a repair would change it" : "nothing to change"));
    else if (outcome.saveFailed || outcome.error[0] != '\0')
        Say(kSaySummary, Text("%s of %s: not repaired; the hive is as it was", controlSet.c_str(), outcome.hive.c_str()));
    else
        Say(kSaySummary, Text("%s of %s: %s", controlSet.c_str(), outcome.hive.c_str(),
                              outcome.saved ? "repaired, and the hive saved"
                                            : "nothing to change, so the hive was left as it was"));

    // Changes that did not reach the disk are not told as made.
    bool unchanged = !check && !outcome.saved;
    for (int list = 0; list < kFilterValues && !unchanged; list++) {
        if (before.listThere[list] == after.listThere[list] &&
            strcmp(before.list[list], after.list[list]) == 0)
            continue;
        Say(kSaySummary, Text("%s %s %s to %s", RepairValueName(list), check ? "would go from" : "went from",
                              Quoted(before.listThere[list], before.list[list]).c_str(),
                              Quoted(after.listThere[list], after.list[list]).c_str()));
    }
    std::string created;
    for (int entry = 0; entry < kRepairEntries && !unchanged; entry++)
        if (!before.serviceThere[entry] && after.serviceThere[entry])
            created += (created.empty() ? "" : ", ") + std::string(RepairDriver(entry));
    if (!created.empty())
        Say(kSaySummary, (check ? "service keys a repair would create: " : "service keys created: ") + created);
    for (int entry = 0; entry < kRepairEntries && !outcome.saveFailed; entry++)
        if (NotSetUp why = WhyNotSetUp(after, entry))
            Say(kSaySummary, Text("%s %s set up: %s", RepairDriver(entry), check ? "could not be" : "is not",
                                  kWhyNotSetUp[why]));
    if (!outcome.kept.empty())
        Say(kSaySummary, "the hive as it was is kept as " + outcome.kept);
    if (check)
        Say(kSaySummary, "nothing was written");
    else if (!outcome.log.empty())
        Say(kSaySummary, "the log: " + outcome.log);
    else
        Say(kSaySummary, "no log could be kept");
}

const char *WhyNotSetUpWords(NotSetUp why) { return kWhyNotSetUp[why]; }

// The Linux program's words, all of them: what the offline backend reports
// (the installation's opening and closing, each hive's load and save, the
// hivex library in use, system errors), and the program's own help, command
// line errors, refusals and summary.
#include "wizard/offline_words.h"

#include "platform/offline/hivex_store.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

// Appends a line to a message for the user.
void AddLine(char *message, size_t size, const char *line)
{
    size_t used = strlen(message);
    if (line[0] != '\0' && used + 1 < size)
        snprintf(message + used, size - used, "%s%s", used ? "\n" : "", line);
}

// What a drive root or a folder named held, as the first line of the message.
void PhraseFolder(const WindowsFolderReport &r, char *note, size_t noteSize)
{
    note[0] = '\0';
    const char *host = r.host;
    const char *base = strcmp(host, "/") ? host : "";
    switch (r.finding) {
    case kFolderGiven:
        return;
    case kFolderNotThere:
        snprintf(note, noteSize,
                 r.error == ENOENT  ? "tessaril: %s does not exist."
                 : r.error == EACCES ? "tessaril: %s may not be entered (permission denied)."
                 : r.error == ENOTDIR ? "tessaril: %s is not a folder."
                                      : "tessaril: %s cannot be looked at.",
                 r.path);
        return;
    case kFolderNone:
        snprintf(note, noteSize,
                 "tessaril: %s holds no system32/config/system hive, nor does any folder at its "
                 "top level, so it is neither the Windows folder of a Windows 2000 or XP "
                 "installation nor the root of its system drive.",
                 host);
        return;
    case kFolderTheOne:
        snprintf(note, noteSize, "tessaril: repairing the installation in %s.", r.folder);
        return;
    case kFolderByBootIni:
        snprintf(note, noteSize,
                 "tessaril: %s holds %d Windows folders; boot.ini's default names %s: "
                 "repairing the installation in %s.",
                 host, r.count, r.named, r.folder);
        return;
    case kFolderSeveral:
        break;
    }
    int count = r.count;
    size_t at = (size_t)snprintf(note, noteSize, "tessaril: %s holds %d Windows folders:", host,
                                 count);
    for (int i = 0; i < count && i < kMaxListedFolders && at < noteSize; i++)
        at += (size_t)snprintf(note + at, noteSize - at, "%s %s/%s", i ? "," : "", base,
                               r.names[i]);
    if (count > kMaxListedFolders && at < noteSize)
        at += (size_t)snprintf(note + at, noteSize - at, " and %d more", count - kMaxListedFolders);
    if (at < noteSize) {
        if (r.named[0] != '\0')
            at += (size_t)snprintf(note + at, noteSize - at,
                                   " (boot.ini's default names %s, which is none of them).",
                                   r.named);
        else
            at += (size_t)snprintf(note + at, noteSize - at,
                                   " (no boot.ini default names one of them).");
    }
    if (at < noteSize)
        snprintf(note + at, noteSize - at,
                 " Name the one to repair, for example: tessaril %s/%s. Nothing was changed.",
                 base, r.names[0]);
}

// Why a hive may not be written; NULL when it may.
const char *WhyReadOnly(HiveReadOnly why)
{
    switch (why) {
    case kHiveReadOnlyMount:
        return "its file system is mounted read-only (ntfs-3g does so by itself when Windows "
               "was hibernated or not shut down fully); start that Windows and shut it down "
               "fully, or mount the volume read-write, then run tessaril again";
    case kHiveFileReadOnly:
        return "the file is marked read-only; give its owner the right to write it (chmod "
               "u+w), then run tessaril again";
    case kHiveFileNotWritable:
        return "this user may not write the file; run tessaril as a user who may, such as "
               "root";
    case kHiveFolderNotWritable:
        return "this user may not write its folder, where the new hive is made; run tessaril "
               "as a user who may, such as root";
    case kHiveWritable:
        break;
    }
    return NULL;
}

// Why the SYSTEM hive cannot be used, the whole refusal.
void PhraseSystemRefusal(const OfflineOpenReport &r, char *message, size_t size)
{
    const char *host = r.folder.folder;
    char detail[PATH_MAX + 512];
    PhraseHiveLoad(r.system, detail, sizeof detail);
    switch (r.system.result) {
    case kLoadMissing:
        snprintf(message, size,
                 "tessaril: %s holds no system32/config/system hive, so it is not the Windows "
                 "folder of a Windows 2000 or XP installation.",
                 host);
        break;
    case kLoadInUse:
        snprintf(message, size,
                 "tessaril: the installation at %s is in use: another tessaril run holds its "
                 "SYSTEM hive. Try again when that run has ended. Nothing was changed.",
                 host);
        break;
    case kLoadNotClean:
        if (r.logs[0] != '\0')
            snprintf(message, size,
                     "tessaril: Windows did not shut down cleanly, so the SYSTEM hive %s lacks its "
                     "latest changes (they are in %s beside it), and a repair now would lose them. "
                     "Start that Windows once and shut it down normally, or replay the hive's log "
                     "into it with a tool made for that, then run tessaril again. Nothing was "
                     "changed.",
                     r.system.shown, r.logs);
        else
            snprintf(message, size,
                     "tessaril: Windows did not shut down cleanly, so the SYSTEM hive %s may lack "
                     "its latest changes, and no log file that holds them is beside it. Start that "
                     "Windows once and shut it down normally, then run tessaril again. Nothing was "
                     "changed.",
                     r.system.shown);
        break;
    default: {
        // The rest say what is wrong with the hive, then what to do.
        OfflineLoadResult result = r.system.result;
        const char *todo =
            result == kLoadCorrupt || result == kLoadTooLarge
                ? "Restore the hive from a backup or let Windows repair it, then run tessaril again."
            : result == kLoadNoControlSet
                ? "Windows could not start from it either: restore the hive from a backup, then "
                  "run tessaril again."
            : result == kLoadLink ? "Mount the installation so that its own folders and files are "
                                    "no links, then run tessaril again."
                                  : "Mend that, then run tessaril again.";
        snprintf(message, size, "tessaril: the SYSTEM hive cannot be used: %s. %s Nothing was changed.",
                 detail, todo);
        break;
    }
    }
}

} // namespace

void PhraseOpening(const OfflineOpenReport &r, char *message, size_t size)
{
    message[0] = '\0';
    const char *host = r.folder.folder;
    switch (r.refusal) {
    case kOpenNoPath:
        snprintf(message, size,
                 "tessaril: no installation named: give the Windows folder of the mounted "
                 "installation or the root of its system drive, for example /mnt/xp/WINDOWS or "
                 "/mnt/xp.");
        return;
    case kOpenNoFolder:
        PhraseFolder(r.folder, message, size);
        return;
    case kOpenBadName:
        snprintf(message, size, "tessaril: %s cannot be a Windows folder.", host);
        return;
    case kOpenTooLong:
        snprintf(message, size, "tessaril: %s is too long.", host);
        return;
    case kOpenSystemHive:
        PhraseSystemRefusal(r, message, size);
        return;
    case kOpenReadOnly:
        snprintf(message, size, "tessaril: %s cannot be changed: %s. Nothing was changed.",
                 r.system.shown, WhyReadOnly(r.readOnly));
        return;
    case kOpenSoftwareInUse:
        snprintf(message, size,
                 "tessaril: the installation at %s is in use: another process holds its SOFTWARE "
                 "hive. Nothing was changed.",
                 host);
        return;
    case kOpenUsable:
        break;
    }
    // What was chosen on a drive root is said first; notes and warnings
    // follow it.
    PhraseFolder(r.folder, message, size);
    char detail[PATH_MAX + 512];
    PhraseHiveLoad(r.system, detail, sizeof detail);
    if (detail[0] != '\0') {
        char note[sizeof detail + 32];
        snprintf(note, sizeof note, "tessaril: note: %s.", detail);
        AddLine(message, size, note);
    }
    if (const char *why = WhyReadOnly(r.readOnly)) {
        char note[sizeof r.system.shown + 512];
        snprintf(note, sizeof note, "tessaril: note: %s cannot be changed: %s.", r.system.shown,
                 why);
        AddLine(message, size, note);
    }
    if (r.codePage[0] != '\0') {
        char warning[400];
        snprintf(warning, sizeof warning,
                 "tessaril: warning: the installation's ANSI code page (Control\\Nls\\CodePage, ACP "
                 "\"%s\") is not one this system can convert, so its names and texts are read as "
                 "Windows-1252; characters outside it come out as \"?\".",
                 r.codePage);
        AddLine(message, size, warning);
    }
    if (r.software.result != kLoadOk) {
        PhraseHiveLoad(r.software, detail, sizeof detail);
        char warning[sizeof detail + 128];
        snprintf(warning, sizeof warning,
                 "tessaril: warning: the SOFTWARE hive cannot be read (%s), so the Windows "
                 "version is unknown.",
                 detail);
        AddLine(message, size, warning);
    }
    // Nothing else would say that the run keeps no log.
    if (r.temp != kLogFolderFound) {
        char warning[sizeof r.system.shown + 128];
        snprintf(warning, sizeof warning,
                 r.temp == kLogFolderLink ? "tessaril: warning: %s/Temp is a symbolic link, which "
                                            "tessaril does not follow, so this run keeps no log."
                                          : "tessaril: warning: %s has no Temp folder, so this "
                                            "run keeps no log.",
                 host);
        AddLine(message, size, warning);
    }
}

void PhraseClosing(bool saved, const HiveSaveReport &report, char *message, size_t size)
{
    message[0] = '\0';
    char detail[1536];
    PhraseHiveSave(report, detail, sizeof detail);
    if (!saved)
        snprintf(message, size,
                 "tessaril: %s. None of this run's changes were saved (the log lists them as "
                 "made); mend the cause and run tessaril again.",
                 detail);
    else if (detail[0] != '\0')
        snprintf(message, size, "tessaril: warning: %s.", detail);
}

void PhraseHiveLoad(const HiveLoadReport &r, char *out, size_t size)
{
    if (out == NULL || size == 0)
        return;
    out[0] = '\0';
    // The problems said of the file alone, by HiveLoadProblem.
    static const char *const kProblems[] = {
        NULL,
        "a folder on the way to %s is a symbolic link, which tessaril does not follow, so that it "
        "never writes outside the installation",
        "%s does not exist",
        "%s is locked by another process",
        "%s is not a regular file",
        "%s is a symbolic link, which tessaril does not follow, so that it never writes outside "
        "the installation",
        NULL,
        NULL,
        "%s is not a registry hive",
        "%s was not cleanly closed (its two sequence numbers differ)",
        "%s is damaged: its header is not valid",
        "%s is damaged: its header gives a size or a root key that the file does not hold",
        "%s cannot be read: /proc is not mounted",
        "%s is damaged: its keys cannot be read (hivex, the hive reader, refuses its structure)",
        "%s names no control set that it holds: neither its Select\\Default nor its "
        "Select\\Current value is the number of an existing ControlSet key",
    };
    unsigned def = r.byDefault, cur = r.byCurrent;
    if (r.problem == kHiveCannotOpen) {
        snprintf(out, size, "%s cannot be opened, because %s", r.shown, PlainError(r.error));
    } else if (r.problem == kHiveTooLarge) {
        char detail[160];
        snprintf(detail, sizeof detail,
                 "is %lld bytes, far larger than a %s hive can be (at most %lld bytes are read)",
                 r.size, r.kind, r.maxBytes);
        snprintf(out, size, "%s %s, so it was not read", r.shown, detail);
    } else if (r.problem != kHiveLoaded) {
        snprintf(out, size, kProblems[r.problem], r.shown);
    } else if (def != 0 && cur != 0 && def != cur) {
        snprintf(out, size,
                 "the SYSTEM hive's Select\\Default names ControlSet%03u and its Select\\Current "
                 "ControlSet%03u; ControlSet%03u is repaired, as Windows starts the set that "
                 "Default names at its next boot (Current is only the set it last started)",
                 def, cur, def);
    } else if (def == 0 && cur != 0 && r.defaultGiven) {
        snprintf(out, size,
                 "the SYSTEM hive's Select\\Default names no control set the hive holds; "
                 "ControlSet%03u, which Select\\Current names, is repaired",
                 cur);
    }
}

void PhraseHiveSave(const HiveSaveReport &r, char *out, size_t size)
{
    if (out == NULL || size == 0)
        return;
    out[0] = '\0';
    // The steps, by SaveStep (creating the file is told apart).
    static const char *const kSteps[] = {
        "", "",
        "writing it",
        "giving it its last-write times, subkey order and large values",
        "checking what was written",
        "giving it the hive's owner",
        "giving it the hive's permissions",
        "flushing it to disk",
        "locking it",
        "giving it a name beside the hive",
        "keeping the old hive beside it",
        "putting it in place of the hive",
    };
    if (r.damaged) {
        snprintf(out, size,
                 "the hive %s is damaged: part of it could not be read or changed, so it "
                 "was left as it was", r.shown);
    } else if (r.failed == kSaveCreating) {
        snprintf(out, size,
                 "the hive %s was not changed: no new file can be created beside it, because %s",
                 r.shown, PlainError(r.error));
    } else if (r.failed != kSaveNoStep) {
        // The reason is the step that failed; a new file that cannot be
        // removed is told after it (the next run removes it).
        char left[600] = "";
        if (r.left[0] != '\0')
            snprintf(left, sizeof left,
                     "; that new file, %s, could not be removed because %s, and the next run "
                     "removes it",
                     r.left, PlainError(r.leftError));
        char what[2000];
        snprintf(what, sizeof what, "%s failed because %s%s", kSteps[r.failed],
                 r.error != 0 ? PlainError(r.error)
                 : r.content == kRegfUnknownLayout
                     ? "the hivex library in use lays hives out otherwise than this tessaril "
                       "knows (a newer tessaril is needed)"
                     : "the file read back is not the hive written",
                 left);
        snprintf(out, size,
                 "the hive %s was not changed: tessaril wrote the changed hive into a new file "
                 "beside it, and %s",
                 r.shown, what);
    } else if (r.folderError != 0) {
        snprintf(out, size,
                 "the hive %s was changed, but its folder could not be flushed to disk because "
                 "%s: should the system stop before it writes the folder itself, the old hive "
                 "may come back, and tessaril is to be run again",
                 r.shown, PlainError(r.folderError));
    }
}

void PhraseHivexInUse(const HivexInUse &hivex, const char *builtWith, char *line, size_t size)
{
    if (hivex.file[0] == '\0')
        snprintf(line, size, "hivex %s (linked into the program)",
                 builtWith[0] ? builtWith : "of unknown release");
    else if (hivex.package[0] != '\0')
        snprintf(line, size, "hivex %s (%s, package %s)", hivex.version, hivex.file, hivex.package);
    else if (builtWith[0] != '\0')
        snprintf(line, size, "hivex %s, release unknown (built against %s)", hivex.file, builtWith);
    else
        snprintf(line, size, "hivex %s, release unknown", hivex.file);
}

const char *PlainError(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission was refused (the user running tessaril may not change that folder, "
               "or a security module or the file's attributes forbid it)";
    case ENOSPC:
        return "the disk is full";
    case EDQUOT:
        return "the disk quota of the user running tessaril is used up";
    case EROFS:
        return "the file system is mounted read-only";
    case EFBIG:
        return "the file would be larger than the system allows this process to write";
    case EIO:
        return "the disk reported a read or write error";
    case ENOMEM:
        return "there was not enough memory";
    case ENOENT:
        return "it no longer exists";
    default:
        return strerror(error);
    }
}

// The store's load and save in a message, for the callers that only show it.
OfflineLoadResult OfflineLoadHive(OfflineHive which, const char *windowsPath, const char *shownPath,
                                  char *message, size_t size)
{
    HiveLoadReport report;
    OfflineLoadResult r = OfflineLoadHive(which, windowsPath, shownPath, &report);
    PhraseHiveLoad(report, message, size);
    return r;
}

bool OfflineCommitAll(char *message, size_t size)
{
    HiveSaveReport report;
    bool ok = OfflineCommitAll(&report);
    PhraseHiveSave(report, message, size);
    return ok;
}

// The program's own sentences: its help, its command line, its summary.

static const char kTryHelp[] = "tessaril: try 'tessaril --help' for more information.\n";

static const char kHelp[] =
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

void SayHelp(FILE *out) { fputs(kHelp, out); }

void SayTryHelp(FILE *out) { fputs(kTryHelp, out); }

void SayCommandLineProblem(FILE *out, CommandLineProblem problem, int paths)
{
    if (problem == kMoreThanOnePath)
        fprintf(out, "tessaril: one PATH only, not %d\n", paths);
    else if (problem == kCheckAndBackup)
        fputs("tessaril: --check writes nothing, so it keeps no backup either: give one of "
              "--check and --backup\n",
              out);
    else
        fputs("tessaril: name the installation: its Windows folder or the root of its system "
              "drive, as PATH or in TESSARIL_SYSTEMROOT\n",
              out);
    fputs(kTryHelp, out);
}

void SayOutputFailed(FILE *out, int error)
{
    fprintf(out, "tessaril: standard output could not be written: %s\n", strerror(error));
}

void PhraseUnsupportedSystem(const char *windows, const SystemVersion &version, char *out, size_t size)
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
    char system[256];
    if (!version.known) {
        snprintf(system, sizeof system, "names no Windows version that can be read (in the SOFTWARE hive)");
    } else {
        const char *name = version.major < 5 ? "an NT release older than Windows 2000"
                                             : "an NT release newer than Windows XP";
        for (const auto &k : kNames)
            if (k.major == version.major && k.minor == version.minor)
                name = k.name;
        snprintf(system, sizeof system, "is %s (version %lu.%lu)", name, (unsigned long)version.major,
                 (unsigned long)version.minor);
    }
    snprintf(out, size,
             "tessaril: the installation at %s %s, and tessaril repairs only Windows 2000 "
             "and XP. Nothing was changed.",
             windows, system);
}

namespace {

const char *const kWhyNotSetUp[] = {"", "its file is missing or cannot be opened",
                                    "its service key could not be made",
                                    "its filter list could not be written"};

void Quoted(FILE *out, bool there, const char *list)
{
    if (there)
        fprintf(out, "\"%s\"", list);
    else
        fputs("none", out);
}

} // namespace

void PrintSummary(FILE *out, const InstallationOutcome &outcome, const RepairState &before,
                  const RepairState &after, bool check)
{
    char controlSet[32] = "the current control set";
    if (outcome.controlSet != 0)
        snprintf(controlSet, sizeof controlSet, "ControlSet%03u", outcome.controlSet);
    if (check)
        fprintf(out, "tessaril: checked %s of %s: %s\n", controlSet, outcome.hive,
                outcome.changed ? "a repair would change it" : "nothing to change");
    else if (outcome.saveFailed || outcome.error[0] != '\0')
        fprintf(out, "tessaril: %s of %s: not repaired; the hive is as it was\n", controlSet,
                outcome.hive);
    else
        fprintf(out, "tessaril: %s of %s: %s\n", controlSet, outcome.hive,
                outcome.saved ? "repaired, and the hive saved"
                              : "nothing to change, so the hive was left as it was");

    // Changes that did not reach the disk are not told as made.
    bool unchanged = !check && !outcome.saved;
    for (int list = 0; list < kFilterValues && !unchanged; list++) {
        if (before.listThere[list] == after.listThere[list] &&
            strcmp(before.list[list], after.list[list]) == 0)
            continue;
        fprintf(out, "tessaril: %s %s ", RepairValueName(list), check ? "would go from" : "went from");
        Quoted(out, before.listThere[list], before.list[list]);
        fputs(" to ", out);
        Quoted(out, after.listThere[list], after.list[list]);
        fputs("\n", out);
    }
    bool any = false;
    for (int entry = 0; entry < kRepairEntries && !unchanged; entry++)
        if (!before.serviceThere[entry] && after.serviceThere[entry]) {
            fprintf(out, "%s%s", any ? ", " : check ? "tessaril: service keys a repair would create: "
                                                   : "tessaril: service keys created: ",
                    RepairDriver(entry));
            any = true;
        }
    if (any)
        fputs("\n", out);
    for (int entry = 0; entry < kRepairEntries && !outcome.saveFailed; entry++)
        if (NotSetUp why = WhyNotSetUp(after, entry))
            fprintf(out, "tessaril: %s %s set up: %s\n", RepairDriver(entry),
                    check ? "could not be" : "is not", kWhyNotSetUp[why]);
    if (outcome.kept[0] != '\0')
        fprintf(out, "tessaril: the hive as it was is kept as %s\n", outcome.kept);
    if (check)
        fputs("tessaril: nothing was written\n", out);
    else if (outcome.log[0] != '\0')
        fprintf(out, "tessaril: the log: %s\n", outcome.log);
    else
        fputs("tessaril: no log could be kept\n", out);
}

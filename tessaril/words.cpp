// The Linux program's words for what the offline backend reports, which
// answers in facts: the installation's opening and closing, each hive's load
// and save, the damage the whole-hive check found, the hivex library in use,
// system errors. The program's own sentences are program_words.cpp.
#include "tessaril/words.h"

#include "platform/offline/hivex_store.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

// What a drive root or a folder named held, as the first line of the
// message; the kind of the line into *kind.
std::string PhraseFolder(const WindowsFolderReport &r, SayKind *kind)
{
    const char *host = r.host;
    const char *base = strcmp(host, "/") ? host : "";
    *kind = kSayError;
    switch (r.finding) {
    case kFolderGiven:
        return "";
    case kFolderNotThere:
        return Text(r.error == ENOENT    ? "%s does not exist."
                    : r.error == EACCES  ? "%s may not be entered (permission denied)."
                    : r.error == ENOTDIR ? "%s is not a folder."
                                         : "%s cannot be looked at.",
                    r.path);
    case kFolderNone:
        return Text("%s holds no system32/config/system hive, nor does any folder at its "
                    "top level, so it is neither the Windows folder of a Windows 2000 or XP "
                    "installation nor the root of its system drive.",
                    host);
    case kFolderTheOne:
        *kind = kSayPlain;
        return Text("repairing the installation in %s.", r.folder);
    case kFolderByBootIni:
        *kind = kSayPlain;
        return Text("%s holds %d Windows folders; boot.ini's default names %s: "
                    "repairing the installation in %s.",
                    host, r.count, r.named, r.folder);
    case kFolderSeveral:
        break;
    }
    int count = r.count;
    std::string note = Text("%s holds %d Windows folders:", host, count);
    for (int i = 0; i < count && i < kMaxListedFolders; i++)
        note += Text("%s %s/%s", i ? "," : "", base, r.names[i]);
    if (count > kMaxListedFolders)
        note += Text(" and %d more", count - kMaxListedFolders);
    if (r.named[0] != '\0')
        note += Text(" (boot.ini's default names %s, which is none of them).", r.named);
    else
        note += " (no boot.ini default names one of them).";
    note += Text(" Name the one to repair, for example: tessaril %s/%s. Nothing was changed.", base,
                 r.names[0]);
    return note;
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
std::string PhraseSystemRefusal(const OfflineOpenReport &r)
{
    const char *host = r.folder.folder;
    HiveLoadProblem problem = r.system.problem;
    switch (problem) {
    case kHiveMissing:
        return Text("%s holds no system32/config/system hive, so it is not the Windows "
                    "folder of a Windows 2000 or XP installation.",
                    host);
    case kHiveLocked:
        return Text("the installation at %s is in use: another tessaril run holds its "
                    "SYSTEM hive. Try again when that run has ended. Nothing was changed.",
                    host);
    case kHiveNotClean:
        if (r.logs[0] != '\0')
            return Text("Windows did not shut down cleanly, so the SYSTEM hive %s lacks its "
                        "latest changes (they are in %s beside it), and a repair now would lose them. "
                        "Start that Windows once and shut it down normally, or replay the hive's log "
                        "into it with a tool made for that, then run tessaril again. Nothing was "
                        "changed.",
                        r.system.shown.c_str(), r.logs);
        return Text("Windows did not shut down cleanly, so the SYSTEM hive %s may lack "
                    "its latest changes, and no log file that holds them is beside it. Start that "
                    "Windows once and shut it down normally, then run tessaril again. Nothing was "
                    "changed.",
                    r.system.shown.c_str());
    default:
        break;
    }
    // The rest say what is wrong with the hive, then what to do.
    bool corrupt = problem == kHiveNotRegular || problem == kHiveNotHive || problem == kHiveBadHeader ||
                   problem == kHiveBadSize || problem == kHiveRefused || problem == kHiveTooLarge;
    const char *todo =
        problem == kHiveDamaged
            ? "Let Windows check and mend it, or restore the hive from a backup, then run "
              "tessaril again."
        : corrupt
            ? "Restore the hive from a backup or let Windows repair it, then run tessaril again."
        : problem == kHiveNoControlSet
            ? "Windows could not start from it either: restore the hive from a backup, then "
              "run tessaril again."
        : problem == kHiveFolderLink || problem == kHiveFileLink
            ? "Mount the installation so that its own folders and files are "
              "no links, then run tessaril again."
            : "Mend that, then run tessaril again.";
    return Text("the SYSTEM hive cannot be used: %s. %s Nothing was changed.",
                PhraseHiveLoad(r.system).c_str(), todo);
}

} // namespace

Message PhraseOpening(const OfflineOpenReport &r)
{
    Message m;
    const char *host = r.folder.folder;
    SayKind kind = kSayError;
    switch (r.refusal) {
    case kOpenNoPath:
        m.Add(kSayError, "no installation named: give the Windows folder of the mounted "
                         "installation or the root of its system drive, for example /mnt/xp/WINDOWS or "
                         "/mnt/xp.");
        return m;
    case kOpenNoFolder:
        m.Add(kSayError, PhraseFolder(r.folder, &kind));
        return m;
    case kOpenBadName:
        m.Add(kSayError, Text("%s cannot be a Windows folder.", host));
        return m;
    case kOpenTooLong:
        m.Add(kSayError, Text("%s is too long.", host));
        return m;
    case kOpenSystemHive:
        m.Add(kSayError, PhraseSystemRefusal(r));
        return m;
    case kOpenReadOnly:
        m.Add(kSayError, Text("%s cannot be changed: %s. Nothing was changed.", r.system.shown.c_str(),
                              WhyReadOnly(r.readOnly)));
        return m;
    case kOpenSoftwareInUse:
        m.Add(kSayError, Text("the installation at %s is in use: another process holds its SOFTWARE "
                              "hive. Nothing was changed.",
                              host));
        return m;
    case kOpenUsable:
        break;
    }
    // What was chosen on a drive root is said first; notes and warnings
    // follow it.
    std::string chosen = PhraseFolder(r.folder, &kind);
    m.Add(kind, chosen);
    std::string detail = PhraseHiveLoad(r.system);
    if (!detail.empty())
        m.Add(kSayNote, detail + ".");
    if (const char *why = WhyReadOnly(r.readOnly))
        m.Add(kSayNote, Text("%s cannot be changed: %s.", r.system.shown.c_str(), why));
    if (r.codePage[0] != '\0')
        m.Add(kSayWarning,
              Text("the installation's ANSI code page (Control\\Nls\\CodePage, ACP "
                   "\"%s\") is not one this system can convert, so its names and texts are read as "
                   "Windows-1252; characters outside it come out as \"?\".",
                   r.codePage));
    if (r.software.problem != kHiveLoaded)
        m.Add(kSayWarning, Text("the SOFTWARE hive cannot be read (%s), so the Windows "
                                "version is unknown.",
                                PhraseHiveLoad(r.software).c_str()));
    // Nothing else would say that the run keeps no log.
    if (r.temp != kLogFolderFound)
        m.Add(kSayWarning, Text(r.temp == kLogFolderLink ? "%s/Temp is a symbolic link, which "
                                                           "tessaril does not follow, so this run keeps no log."
                                                         : "%s has no Temp folder, so this "
                                                           "run keeps no log.",
                                host));
    return m;
}

Message PhraseClosing(bool saved, const HiveSaveReport &report)
{
    Message m;
    std::string detail = PhraseHiveSave(report);
    if (!saved)
        m.Add(kSayError, detail + ". None of this run's changes were saved (the log lists them as "
                                  "made); mend the cause and run tessaril again.");
    else if (!detail.empty())
        m.Add(kSayWarning, detail + ".");
    return m;
}

std::string PhraseHiveLoad(const HiveLoadReport &r)
{
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
        NULL,
    };
    static_assert(sizeof kProblems / sizeof *kProblems == kHiveLoadProblemCount, "a problem has no words");
    unsigned def = r.byDefault, cur = r.byCurrent;
    if (r.problem == kHiveCannotOpen)
        return Text("%s cannot be opened, because %s", r.shown.c_str(), PlainError(r.error));
    if (r.problem == kHiveTooLarge)
        return Text("%s is %lld bytes, far larger than a %s hive can be (at most %lld bytes are read), "
                    "so it was not read",
                    r.shown.c_str(), r.size, r.kind, r.maxBytes);
    if (r.problem == kHiveDamaged)
        return Text("%s is damaged: %s", r.shown.c_str(), PhraseDamage(r.damage).c_str());
    if (r.problem != kHiveLoaded)
        return Text(kProblems[r.problem], r.shown.c_str());
    if (def != 0 && cur != 0 && def != cur)
        return Text("the SYSTEM hive's Select\\Default names ControlSet%03u and its Select\\Current "
                    "ControlSet%03u; ControlSet%03u is repaired, as Windows starts the set that "
                    "Default names at its next boot (Current is only the set it last started)",
                    def, cur, def);
    if (def == 0 && cur != 0 && r.defaultGiven)
        return Text("the SYSTEM hive's Select\\Default names no control set the hive holds; "
                    "ControlSet%03u, which Select\\Current names, is repaired",
                    cur);
    return "";
}

std::string PhraseHiveSave(const HiveSaveReport &r)
{
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
    static_assert(sizeof kSteps / sizeof *kSteps == kSaveStepCount, "a step of the save has no words");
    if (r.damaged)
        return Text("the hive %s is damaged: part of it could not be read or changed, so it "
                    "was left as it was", r.shown.c_str());
    if (r.failed == kSaveCreating)
        return Text("the hive %s was not changed: no new file can be created beside it, because %s",
                    r.shown.c_str(), PlainError(r.error));
    if (r.failed != kSaveNoStep) {
        // The reason is the step that failed; a new file that cannot be
        // removed is told after it (the next run removes it).
        std::string left;
        if (r.left[0] != '\0')
            left = Text("; that new file, %s, could not be removed because %s, and the next run "
                        "removes it",
                        r.left, PlainError(r.leftError));
        const char *why = r.error != 0 ? PlainError(r.error)
                          : r.content == kRegfUnknownLayout
                              ? "the hivex library in use lays hives out otherwise than this tessaril "
                                "knows (a newer tessaril is needed)"
                              : "the file read back is not the hive written";
        return Text("the hive %s was not changed: tessaril wrote the changed hive into a new file "
                    "beside it, and %s failed because %s%s",
                    r.shown.c_str(), kSteps[r.failed], why, left.c_str());
    }
    if (r.folderError != 0)
        return Text("the hive %s was changed, but its folder could not be flushed to disk because "
                    "%s: should the system stop before it writes the folder itself, the old hive "
                    "may come back, and tessaril is to be run again",
                    r.shown.c_str(), PlainError(r.folderError));
    return "";
}

std::string PhraseHivexInUse(const HivexInUse &hivex, const char *builtWith)
{
    if (hivex.file[0] == '\0')
        return Text("hivex %s (linked into the program)", builtWith[0] ? builtWith : "of unknown release");
    if (hivex.package[0] != '\0')
        return Text("hivex %s (%s, package %s)", hivex.version, hivex.file, hivex.package);
    if (builtWith[0] != '\0')
        return Text("hivex %s, release unknown (built against %s)", hivex.file, builtWith);
    return Text("hivex %s, release unknown", hivex.file);
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

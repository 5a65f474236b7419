// The Linux program's words, all of them: what the offline backend reports
// (the installation's opening and closing, each hive's load and save, the
// hivex library in use, system errors), and the program's own help, command
// line errors, refusals and summary.
#include "tessaril/words.h"

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

// What the whole-hive check found, and where: the record at fault (the
// key's path as far as it is known), then what is wrong with it.
void PhraseDamage(const RegfCheckReport &d, char *out, size_t size)
{
    char key[sizeof d.path + 16];
    snprintf(key, sizeof key, d.path[0] ? "key %s" : "the root key", d.path);
    char value[sizeof d.value + sizeof key + 32];
    if (d.valueNamed)
        snprintf(value, sizeof value, "value \"%s\" of %s", d.value, key);
    else
        snprintf(value, sizeof value, "value #%u of %s", d.entry + 1, key);
    char what[sizeof value + 64];
    switch (d.part) {
    case kRegfPartHive:
        snprintf(what, sizeof what, "a cell of the hive's chain of security descriptors");
        break;
    case kRegfPartKey:
        if (d.listed)
            snprintf(what, sizeof what, "subkey #%u of %s", d.entry + 1, key);
        else
            snprintf(what, sizeof what, "%s", key);
        break;
    case kRegfPartSubkeys:
        snprintf(what, sizeof what, "the subkey list of %s", key);
        break;
    case kRegfPartLeaf:
        snprintf(what, sizeof what, "part #%u of the subkey list of %s", d.entry + 1, key);
        break;
    case kRegfPartClass:
        snprintf(what, sizeof what, "the class name of %s", key);
        break;
    case kRegfPartSecurity:
        snprintf(what, sizeof what, "the security descriptor of %s", key);
        break;
    case kRegfPartValues:
        snprintf(what, sizeof what, "the value list of %s", key);
        break;
    case kRegfPartValue:
        snprintf(what, sizeof what, "%s", value);
        break;
    case kRegfPartData:
        snprintf(what, sizeof what, "the data of %s", value);
        break;
    case kRegfPartSegments:
        snprintf(what, sizeof what, "the list of the parts of the data of %s", value);
        break;
    case kRegfPartSegment:
        snprintf(what, sizeof what, "part #%u of the data of %s", d.entry + 1, value);
        break;
    }
    unsigned long long at = d.at, need = d.need, room = d.room;
    switch (d.damage) {
    case kRegfCheckSound:
    case kRegfCheckUnreadable:
        out[0] = '\0';
        break;
    case kRegfCheckBadBin:
        snprintf(out, size, "the block of cells at offset 0x%llx is not a valid one (its header, "
                            "offset or size is wrong)", at);
        break;
    case kRegfCheckBadCell:
        snprintf(out, size, "the cell at offset 0x%llx has a size that does not fit its block", at);
        break;
    case kRegfCheckNotACell:
        snprintf(out, size, "%s lies at no cell in use (offset 0x%llx: outside the hive's cells, "
                            "inside another cell, or a free one)", what, at);
        break;
    case kRegfCheckWrongKind:
        snprintf(out, size, "the cell of %s, at offset 0x%llx, holds another kind of record", what, at);
        break;
    case kRegfCheckTooShort:
        snprintf(out, size, "%s is longer than its cell: it needs %llu bytes, the cell at offset "
                            "0x%llx holds %llu", what, need, at, room);
        break;
    case kRegfCheckBadKey:
        snprintf(out, size, "%s has an empty name or is larger than a key can be", what);
        break;
    case kRegfCheckReachedTwice:
        snprintf(out, size, "%s is listed twice (in two subkey lists, or twice in one)", key);
        break;
    case kRegfCheckLoop:
        snprintf(out, size, "%s is %s%s listed again below itself: the keys form a loop", key,
                 d.other[0] ? "key " : "the root key", d.other);
        break;
    case kRegfCheckWrongParent:
        snprintf(out, size, "%s is listed under a key that its record does not name as its parent",
                 key);
        break;
    case kRegfCheckCountMismatch:
        snprintf(out, size, "%s says it has %llu subkeys, but its subkey list holds %llu", key, need,
                 room);
        break;
    case kRegfCheckTooDeep:
        snprintf(out, size, "%s lies more than %llu levels below the root, deeper than Windows "
                            "allows", key, need);
        break;
    case kRegfCheckInlineTooLong:
        snprintf(out, size, "%s says that its data, kept in its record, is longer than the 4 bytes "
                            "there", what);
        break;
    case kRegfCheckDataNotEmpty:
        snprintf(out, size, "%s has no data but points to a data cell", what);
        break;
    case kRegfCheckFewSegments:
        snprintf(out, size, "%s is cut into fewer parts (%llu) than its length needs (%llu)", what, room,
                 need);
        break;
    case kRegfCheckBadDescriptor:
        snprintf(out, size, "%s, at offset 0x%llx, is not a valid security descriptor", what, at);
        break;
    case kRegfCheckBadSecurityList:
        snprintf(out, size, "the hive's chain of security descriptors is broken at offset 0x%llx", at);
        break;
    case kRegfCheckTooManyKeys:
        snprintf(out, size, "it holds more than %llu keys, more than tessaril reads of a SYSTEM hive",
                 need);
        break;
    case kRegfCheckTooManyEntries:
        snprintf(out, size, "its lists hold more than %llu entries in all, more than tessaril reads "
                            "of a SYSTEM hive", need);
        break;
    }
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
            r.system.problem == kHiveDamaged
                ? "Let Windows check and mend it, or restore the hive from a backup, then run "
                  "tessaril again."
            : result == kLoadCorrupt || result == kLoadTooLarge
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
        NULL,
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
    } else if (r.problem == kHiveDamaged) {
        char detail[2048];
        PhraseDamage(r.damage, detail, sizeof detail);
        snprintf(out, size, "%s is damaged: %s", r.shown, detail);
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

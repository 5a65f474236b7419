// What the Linux program says, every sentence of it: of the offline
// backend's reports (the installation, its hives and their saves, put
// together from the facts the backend returns: each Phrase writes one
// message, empty when there is nothing to say, into out), and of its own
// command line and run.
#ifndef TESSARIL_WIZARD_OFFLINE_WORDS_H
#define TESSARIL_WIZARD_OFFLINE_WORDS_H

#include "platform/offline/guest_image.h"
#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "wizard/offline_report.h"

#include <stddef.h>
#include <stdio.h>

// What opening the installation met: on refusal the one sentence that says
// why; otherwise what the user should know (the folder chosen on a drive
// root, notes and warnings), one line each.
void PhraseOpening(const OfflineOpenReport &report, char *out, size_t size);

// What closing it met: why its changes were not saved, or a warning.
void PhraseClosing(bool saved, const HiveSaveReport &report, char *out, size_t size);

// A hive's load: why it failed, or (SYSTEM) which control set is repaired
// when its Select values disagree; no "tessaril: " before it, no full stop.
void PhraseHiveLoad(const HiveLoadReport &report, char *out, size_t size);

// A hive's save: why it failed, or what one that succeeded has to tell; as
// PhraseHiveLoad.
void PhraseHiveSave(const HiveSaveReport &report, char *out, size_t size);

// The hivex library in use, for --version: "hivex " and its release and file
// (builtWith: the release the program was built against, may be empty).
void PhraseHivexInUse(const HivexInUse &hivex, const char *builtWith, char *out, size_t size);

// A system error number as the end of a sentence ("... because %s"): plain
// words for the errors a user can meet and act on, the system's own text
// for the rest.
const char *PlainError(int error);

// The program's help (--help) and the line that points to it.
void SayHelp(FILE *out);
void SayTryHelp(FILE *out);

// What is wrong with a command line, then the line that points to the help.
enum CommandLineProblem { kCommandLineOk = 0, kCheckAndBackup, kNoInstallationNamed };
void SayCommandLineProblem(FILE *out, CommandLineProblem problem);

// That standard output could not be written, for the error number.
void SayOutputFailed(FILE *out, int error);

// The refusal of an installation at windows whose Windows the wizard does
// not repair.
void PhraseUnsupportedSystem(const char *windows, const SystemVersion &version, char *out, size_t size);

// The summary of a run that got past the first question, on out.
void PrintSummary(FILE *out, const InstallationOutcome &outcome, const RepairState &before,
                  const RepairState &after, bool check);

// What opening a disk image met: on refusal the one sentence that says why;
// otherwise the folder chosen, when it was chosen among several or is the one
// of its image (empty when named).
void PhraseImageOpening(const ImageOpenReport &report, char *out, size_t size);

// Why the hive could not be put back into the image, or (report.logFailed,
// with the hive in place) the warning that the log could not be.
void PhraseImageSave(const ImageSaveReport &report, char *out, size_t size);

// That libguestfs's shutdown, which writes the image out, failed.
void PhraseImageClosing(const char *image, const char *detail, char *out, size_t size);

// The refusal of --windows with a PATH that is a folder.
void PhraseWindowsOnFolder(const char *path, char *out, size_t size);

// What an exit status means, for the JSON report, and why a driver is not
// set up, as the summary says it.
const char *StatusMeaning(int status);
const char *WhyNotSetUpWords(NotSetUp why);

#endif

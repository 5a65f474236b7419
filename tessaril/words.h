// What the Linux program says, every sentence of it: of the offline
// backend's reports (the installation, its hives and their saves, put
// together from the facts the backend returns: each Phrase writes one
// message, empty when there is nothing to say, into out), and of its own
// command line and run.
#ifndef TESSARIL_TESSARIL_WORDS_H
#define TESSARIL_TESSARIL_WORDS_H

#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "tessaril/report.h"

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
enum CommandLineProblem { kCommandLineOk = 0, kMoreThanOnePath, kCheckAndBackup, kNoInstallationNamed };
void SayCommandLineProblem(FILE *out, CommandLineProblem problem, int paths);

// That standard output could not be written, for the error number.
void SayOutputFailed(FILE *out, int error);

// The refusal of an installation at windows whose Windows the wizard does
// not repair.
void PhraseUnsupportedSystem(const char *windows, const SystemVersion &version, char *out, size_t size);

// The summary of a run that got past the first question, on out.
void PrintSummary(FILE *out, const InstallationOutcome &outcome, const RepairState &before,
                  const RepairState &after, bool check);

#endif

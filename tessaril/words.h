// What the Linux program says, every sentence of it, told through its one
// voice (voice.h): of the offline backend's reports (the installation, its
// hives and their saves, put together from the facts the backend returns),
// and of its own command line and run.
#ifndef TESSARIL_TESSARIL_WORDS_H
#define TESSARIL_TESSARIL_WORDS_H

#include "platform/offline/hivex_in_use.h"
#include "platform/offline/installation_report.h"
#include "tessaril/report.h"
#include "tessaril/voice.h"

#include <string>

// What opening the installation met: on refusal the one error that says
// why; otherwise what the user should know (the folder chosen on a drive
// root, notes and warnings), one line each.
Message PhraseOpening(const OfflineOpenReport &report);

// What closing it met: why its changes were not saved, or a warning.
Message PhraseClosing(bool saved, const HiveSaveReport &report);

// A hive's load: why it failed, or (SYSTEM) which control set is repaired
// when its Select values disagree; a part of a sentence, without its full
// stop ("" when there is nothing to say).
std::string PhraseHiveLoad(const HiveLoadReport &report);

// The damage the whole-hive check found: the record at fault (the key's path
// as far as it is known), then what is wrong with it (damage_words.cpp).
std::string PhraseDamage(const RegfCheckReport &damage);

// A hive's save: why it failed, or what one that succeeded has to tell; as
// PhraseHiveLoad.
std::string PhraseHiveSave(const HiveSaveReport &report);

// The hivex library in use, for --version: "hivex " and its release and file
// (builtWith: the release the program was built against, may be empty).
std::string PhraseHivexInUse(const HivexInUse &hivex, const char *builtWith);

// A system error number as the end of a sentence ("... because %s"): plain
// words for the errors a user can meet and act on, the system's own text
// for the rest.
const char *PlainError(int error);

// The program's own sentences (program_words.cpp).

// The program's help (--help, on standard output) and the line that points
// to it.
void SayHelp(void);
void SayTryHelp(void);

// What is wrong with a command line, then the line that points to the help.
enum CommandLineProblem { kCommandLineOk = 0, kMoreThanOnePath, kCheckAndBackup, kNoInstallationNamed };
void SayCommandLineProblem(CommandLineProblem problem, int paths);

// That standard output could not be written, for the error number.
void SayOutputFailed(int error);

// The refusal of an installation at windows whose Windows the wizard does
// not repair.
std::string PhraseUnsupportedSystem(const char *windows, const SystemVersion &version);

// The summary of a run that got past the first question.
void PrintSummary(const InstallationOutcome &outcome, const RepairState &before, const RepairState &after,
                  bool check);

#endif

// What the Linux program says, every sentence of it, told through its one
// voice (voice.h): of the offline backend's reports (the installation, its
// hives and their saves, put together from the facts the backend returns),
// and of its own command line and run.
#ifndef TESSARIL_TESSARIL_WORDS_H
#define TESSARIL_TESSARIL_WORDS_H

#include "platform/offline/guest_image.h"
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

// What opening a disk image met: on refusal the one error that says why;
// otherwise the folder chosen, when it was chosen among several or is the
// one of its image (nothing when named).
Message PhraseImageOpening(const ImageOpenReport &report);

// Why the hive could not be put back into the image (an error), or, with
// the hive in place, that the log could not be (a warning).
Message PhraseImageSave(const ImageSaveReport &report);

// That libguestfs's shutdown, which writes the image out, failed.
std::string PhraseImageClosing(const char *image, const char *detail);

// The program's own sentences (program_words.cpp).

// The program's help (--help, on standard output) and the line that points
// to it.
void SayHelp(void);
void SayTryHelp(void);

// What is wrong with a command line, then the line that points to the help.
enum CommandLineProblem { kCommandLineOk = 0, kCheckAndBackup, kNoInstallationNamed };
void SayCommandLineProblem(CommandLineProblem problem);

// The refusal of --windows with a PATH that is a folder.
std::string PhraseWindowsOnFolder(const char *path);

// What an exit status means, for the JSON report, and why a driver is not
// set up, as the summary says it.
const char *StatusMeaning(int status);
const char *WhyNotSetUpWords(NotSetUp why);

// That standard output could not be written, for the error number.
void SayOutputFailed(int error);

// The refusal of an installation at windows whose Windows the wizard does
// not repair.
std::string PhraseUnsupportedSystem(const char *windows, const SystemVersion &version);

// The summary of a run that got past the first question.
void PrintSummary(const InstallationOutcome &outcome, const RepairState &before, const RepairState &after,
                  bool check);

#endif

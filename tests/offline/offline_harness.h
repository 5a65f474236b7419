// Helpers of the offline tests: sample installations, runs of the tessaril
// program, and three ways of reading a hive back (hivex, reglookup, raw cells).
#ifndef TESSARIL_TESTS_OFFLINE_HARNESS_H
#define TESSARIL_TESTS_OFFLINE_HARNESS_H

#include "platform/offline/regf_bytes.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace offline {

// A fresh, empty folder for one test, removed by the next call for the same
// name. The tests' work folder is TESSARIL_TEST_WORK when that is set.
std::string FreshFolder(const std::string &name);
// Where that folder is.
std::string WorkPath(const std::string &name);

// A fresh folder for a test that runs the program as another user (uid
// 65534), in a place that user may enter: on the test volume when the tests
// run on one (TESSARIL_TEST_WORK), else in a folder of its own under /tmp,
// whatever the modes of the folders above the clone. The folder made under
// /tmp goes with the object. path is empty, and why says why, when no such
// place can be had here.
struct OtherUserFolder {
    std::string path;
    std::string why;
    std::string made; // the folder made under /tmp, removed at the end
    explicit OtherUserFolder(const std::string &name);
    ~OtherUserFolder();
};

// Runs make_sample_installation with the given options into folder; returns
// the Windows directory it wrote (empty on failure).
std::string MakeSample(const std::string &folder, const std::vector<std::string> &options = {});

struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
    // tessaril's summary, the "tessaril: " lines that end its standard
    // output, taken out of out, which keeps the boxes.
    std::string summary;
};

// Runs tessaril with TESSARIL_SYSTEMROOT set to root (unset when root is
// NULL), the arguments, and input on its standard input; as, when given, is a
// command that runs it as another user (setpriv and its options). Every
// SYSTEM hive the run rewrote must pass KernelAccepts, or the test fails.
RunResult RunTessaril(const char *root, const std::string &input,
                      const std::vector<std::string> &args = {},
                      const std::vector<std::string> &as = {});

// What a kernel's own hive loader and checks say of a hive, through the
// checker built from an NT-compatible kernel's registry library: success
// when it accepts the hive, or when the checker is not to be had here (the
// test offline_kernel_checks then reports as skipped, with the reason).
// Given the hive's bytes before a run, a hive that was refused then passes
// when it has no problem the old one had not.
::testing::AssertionResult KernelAccepts(const std::string &hive, const std::string *before = NULL);

// Runs any program with arguments; its standard output (less a summary).
RunResult RunProgram(const std::vector<std::string> &argv, const char *root = NULL);

std::string ReadFile(const std::string &path, bool *exists = NULL);
void WriteFile(const std::string &path, const std::string &content);

// The bytes one log entry stores for a message.
std::string Entry(const std::string &message);

// What the terminal shows for a box; answer is the echoed answer line of a
// Yes/No box (which reads from a pipe in these tests).
std::string ConfirmBox(const std::vector<std::string> &answers);
std::string RestartBox(const std::vector<std::string> &answers);
std::string ErrorBox(const std::string &text);

// Reads a value with hivex; the key path uses "\" and starts below the root.
bool HivexValue(const std::string &hive, const std::string &keyPath, const std::string &name,
                int *type, std::string *data);
bool HivexKeyExists(const std::string &hive, const std::string &keyPath);
std::vector<std::string> HivexSubkeys(const std::string &hive, const std::string &keyPath);

// The whole hive as reglookup prints it: path -> "TYPE,VALUE".
std::map<std::string, std::string> Reglookup(const std::string &hive);
// The same, keys without their modification times.
std::map<std::string, std::string> Contents(const std::string &hive);

// Raw cells: how many allocated cells carry each list signature ("lh", "lf",
// "li", "ri"), and whether every fast-leaf entry's hint holds the first four
// characters of the key it points to, and every hash-leaf entry of a key
// with an ASCII name the hash of its name.
struct CellCensus {
    std::map<std::string, int> lists;
    int badHints;
    std::map<std::string, uint32_t> hashes; // of hash leaves, by the key's name as stored
    bool walked; // false when the file is not a well-formed sequence of bins
};
CellCensus CountCells(const std::string &hive);

// The two sequence numbers of the base block.
void SequenceNumbers(const std::string &hive, unsigned *first, unsigned *second);

// Where the cell of a key (nk) or a value (vk) of that name starts, at its
// signature; npos when there is none.
size_t FindCell(const std::string &hive, const char *sig, const std::string &name);

// A sample XP installation whose SYSTEM hive is the one Windows wrote named
// (of TESSARIL_REAL_HIVES, unpacked), with the hives' notices beside it
// (kRealHiveNotices). Empty, with why, when the hive is not at hand.
std::string RealHiveInstallation(const std::string &name, std::string *why);
extern const char *const kRealHiveNotices[3];

const char *const kClassKey = "Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}";

// The names in a folder, "." and ".." left out; empty when it cannot be read.
std::set<std::string> FolderNames(const std::string &path);

} // namespace offline

#endif

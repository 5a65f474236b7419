// The tessaril command line: each way of naming the installation (its Windows
// folder, the root of its drive, TESSARIL_SYSTEMROOT, nothing), --yes against
// piped answers, --help, --version and wrong command lines, and the exit
// statuses with --check, --backup and --quiet.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

using namespace offline;

namespace {

const std::string kClassPath = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";
const std::string kRepairedUpper = "MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k";
const std::string kUsage = "Usage: tessaril [OPTION]... [PATH]...\n";
const std::string kTryHelp = "tessaril: try 'tessaril --help' for more information.\n";

std::string SystemHive(const std::string &windows) { return windows + "/system32/config/system"; }

std::string Upper(const std::string &windows)
{
    return Reglookup(SystemHive(windows))[kClassPath + "/UpperFilters"];
}

// The path as the program reports it.
std::string Real(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? real : path;
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(CommandLine, EachWayOfNamingTheInstallation)
{
    const std::string answered = ConfirmBox({"y"}) + RestartBox({"n"});

    // The Windows folder as PATH; it wins over the variable.
    std::string windows = MakeSample(FreshFolder("name-folder"));
    ASSERT_FALSE(windows.empty());
    RunResult r = RunTessaril("/nonexistent", "y\nn\n", {windows});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(answered, r.out);
    EXPECT_EQ(kRepairedUpper, Upper(windows));

    // A drive root whose Windows 2000 folder is spelt "winnt", its folders
    // and files in odd cases too, beside a folder with an empty config and a
    // link to the Windows folder, neither of which counts.
    std::string root = FreshFolder("name-root");
    windows = MakeSample(root, {"--version", "5.0", "--windir", "winnt", "--mangle-case"});
    ASSERT_FALSE(windows.empty());
    ASSERT_EQ(0, system(("mkdir -p '" + root + "/Recycled/system32/config'").c_str()));
    ASSERT_EQ(0, symlink(windows.c_str(), (root + "/LINKED").c_str()));
    r = RunTessaril(NULL, "y\nn\n", {root});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("tessaril: repairing the installation in " + Real(root) + "/winnt.\n", r.err);
    EXPECT_EQ(answered, r.out);
    EXPECT_EQ(kRepairedUpper,
              Reglookup(windows + "/System32/CONFIG/SYSTEM")[kClassPath + "/UpperFilters"]);
    EXPECT_TRUE(Contains(ReadFile(windows + "/TEMP/Tessaril.log"),
                         Entry("After create Mbx7_2k in LowerFilters values: PxHelp20|Mbx7_2k")));

    // The variable naming a drive root.
    root = FreshFolder("name-variable");
    windows = MakeSample(root);
    r = RunTessaril(root.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(answered, r.out);
    EXPECT_EQ(kRepairedUpper, Upper(windows));

    // Two Windows folders on one drive: boot.ini's default chooses; without
    // one that names either, nothing is touched and the user is asked to name
    // one.
    root = FreshFolder("name-two");
    std::string xp = MakeSample(root);
    std::string w2k = MakeSample(root, {"--version", "5.0"});
    ASSERT_EQ(Real(root) + "/WINDOWS", Real(xp));
    ASSERT_EQ(Real(root) + "/WINNT", Real(w2k));
    std::string xpBytes = ReadFile(SystemHive(xp));
    std::string w2kBytes = ReadFile(SystemHive(w2k));
    struct Refused {
        const char *bootIni;
        const char *said;
    } refused[] = {
        {NULL, "(no boot.ini default names one of them)"},
        {"[boot loader]\r\ntimeout=30\r\n", "(no boot.ini default names one of them)"},
        {"[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WIN98\r\n",
         "(boot.ini's default names WIN98, which is none of them)"},
    };
    for (const Refused &c : refused) {
        if (c.bootIni)
            WriteFile(root + "/boot.ini", c.bootIni);
        r = RunTessaril(NULL, "y\nn\n", {root});
        EXPECT_EQ(2, r.exitCode) << c.said;
        EXPECT_EQ("", r.out) << c.said;
        EXPECT_TRUE(Contains(r.err, "tessaril: " + Real(root) + " holds 2 Windows folders: " +
                                        Real(root) + "/WINDOWS, " + Real(root) + "/WINNT " +
                                        c.said + ". Name the one to repair"))
            << r.err;
        EXPECT_EQ(xpBytes, ReadFile(SystemHive(xp)));
        EXPECT_EQ(w2kBytes, ReadFile(SystemHive(w2k)));
        EXPECT_EQ((std::set<std::string>{}), FolderNames(xp + "/Temp"));
        EXPECT_EQ((std::set<std::string>{}), FolderNames(w2k + "/Temp"));
    }
    ASSERT_EQ(0, unlink((root + "/boot.ini").c_str()));
    WriteFile(root + "/BOOT.INI",
              "[boot loader]\r\ntimeout=30\r\n  Default = multi(0)disk(0)rdisk(0)partition(1)\\winnt\r\n"
              "[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(1)\\WINDOWS=\"XP\"\r\n");
    r = RunTessaril(NULL, "y\nn\n", {root});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("tessaril: " + Real(root) + " holds 2 Windows folders; boot.ini's default names "
              "winnt: repairing the installation in " + Real(root) + "/WINNT.\n",
              r.err);
    EXPECT_EQ(kRepairedUpper, Upper(w2k));
    EXPECT_EQ(xpBytes, ReadFile(SystemHive(xp)));
    // --windows names a folder in a disk image only.
    r = RunTessaril(NULL, "y\nn\n", {"--windows=WINDOWS", root});
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("tessaril: --windows names a Windows folder inside a disk image, and " + root +
                  " is no image: name the Windows folder itself as PATH.\n",
              r.err);
    EXPECT_EQ(xpBytes, ReadFile(SystemHive(xp)));

    // Nothing named, or nothing there.
    for (const char *variable : {(const char *)NULL, ""}) {
        r = RunTessaril(variable, "y\nn\n");
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_TRUE(Contains(r.err, "TESSARIL_SYSTEMROOT\n" + kTryHelp)) << r.err;
    }
    std::string empty = FreshFolder("name-none");
    r = RunTessaril(NULL, "y\nn\n", {empty});
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(Contains(r.err, "holds no system32/config/system hive, nor does any folder at its "
                                "top level"))
        << r.err;
    // A path that is not there, a file, and a folder this user may not enter.
    WriteFile(empty + "/file", "");
    std::vector<std::pair<std::string, std::string>> paths = {
        {empty + "/missing", " does not exist.\n"},
        {empty + "/file", " is not a folder, and at 0 bytes too small to be a disk image with Windows on "
                          "it. Nothing was changed.\n"},
        {empty + "/file/below", " is not a folder.\n"}};
    for (const auto &p : paths) {
        r = RunTessaril(NULL, "y\nn\n", {p.first});
        EXPECT_EQ(2, r.exitCode) << p.first;
        EXPECT_EQ("tessaril: " + p.first + p.second, r.err);
    }
    OtherUserFolder closed("name-closed");
    if (geteuid() == 0 && !closed.path.empty()) {
        std::string inside = MakeSample(closed.path);
        ASSERT_EQ(0, chmod(closed.path.c_str(), 0700));
        r = RunTessaril(NULL, "y\nn\n", {inside},
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("tessaril: " + inside + " may not be entered (permission denied).\n", r.err);
    }
}

TEST(CommandLine, YesRepairsAsThePipedAnswersDoWithoutReadingInput)
{
    std::string piped = MakeSample(FreshFolder("answers-piped"));
    ASSERT_FALSE(piped.empty());
    RunResult byPipe = RunTessaril(NULL, "y\nn\n", {piped});
    ASSERT_EQ(0, byPipe.exitCode);
    ASSERT_EQ(ConfirmBox({"y"}) + RestartBox({"n"}), byPipe.out);
    std::string log = ReadFile(piped + "/Temp/Tessaril.log");
    std::map<std::string, std::string> hive = Contents(SystemHive(piped));
    ASSERT_EQ(kRepairedUpper, hive[kClassPath + "/UpperFilters"]);

    // Input that would decline, and none at all; the option before or after
    // the path.
    struct Case {
        std::vector<std::string> args;
        const char *input;
    } cases[] = {{{"--yes", "PATH"}, "n\n"}, {{"PATH", "-y"}, ""}};
    for (Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("answers-yes"));
        for (std::string &a : c.args)
            if (a == "PATH")
                a = windows;
        RunResult r = RunTessaril(NULL, c.input, c.args);
        EXPECT_EQ(0, r.exitCode) << c.args[0];
        EXPECT_EQ("", r.err) << c.args[0];
        EXPECT_EQ(byPipe.out, r.out) << c.args[0];
        EXPECT_EQ(log, ReadFile(windows + "/Temp/Tessaril.log")) << c.args[0];
        EXPECT_EQ(hive, Contents(SystemHive(windows))) << c.args[0];
    }
}

TEST(CommandLine, HelpVersionAndWrongCommandLines)
{
    // A named installation is not touched by any of these.
    std::string windows = MakeSample(FreshFolder("options"));
    ASSERT_FALSE(windows.empty());
    std::string bytes = ReadFile(SystemHive(windows));

    for (const char *option : {"--help", "-h"}) {
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n", {option});
        EXPECT_EQ(0, r.exitCode) << option;
        EXPECT_EQ("", r.err) << option;
        EXPECT_EQ(0u, r.out.find(kUsage)) << r.out;
        for (const char *part : {"-y, --yes", "-n, --check", "-b, --backup", "-q, --quiet",
                                 "TESSARIL_SYSTEMROOT", "Temp/Tessaril.log", "system32/config/system",
                                 "UpperFilters", "Exit status:\n", "\n  4  saved, but", "\n  5  (--check)"})
            EXPECT_TRUE(Contains(r.out, part)) << option << " lacks " << part;
    }

    // The version, and the hivex that runs: the package manager's release of
    // the loaded library when it knows one.
    RunResult installed = RunProgram({"/bin/sh", "-c", "dpkg-query -W -f='${Version}' libhivex0"});
    for (const char *option : {"--version", "-V"}) {
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n", {option});
        EXPECT_EQ(0, r.exitCode) << option;
        EXPECT_EQ("", r.err) << option;
        ASSERT_EQ(0u, r.out.find("tessaril 1.0.0.2\nhivex ")) << r.out;
        EXPECT_TRUE(Contains(r.out, "/libhivex.so.0")) << r.out;
        EXPECT_EQ(2, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
        if (installed.exitCode == 0 && !installed.out.empty()) {
            EXPECT_EQ(0u, r.out.find("tessaril 1.0.0.2\nhivex " + installed.out + " (")) << r.out;
        }
    }

    // Without dpkg-query the loaded file is still named.
    RunResult bare = RunProgram({"/usr/bin/env", "PATH=/nonexistent", TESSARIL_EXE, "--version"});
    EXPECT_EQ(0, bare.exitCode);
    EXPECT_TRUE(Contains(bare.out, "tessaril 1.0.0.2\nhivex /")) << bare.out;
    EXPECT_TRUE(Contains(bare.out, "/libhivex.so.0")) << bare.out;
    EXPECT_TRUE(Contains(bare.out, ", release unknown")) << bare.out;

    struct Wrong {
        std::vector<std::string> args;
        const char *said;
    } wrong[] = {{{"--bogus"}, "tessaril: unrecognized option '--bogus'\n"},
                 {{"-x", windows}, "tessaril: invalid option -- 'x'\n"},
                 {{"--yes=1"}, "tessaril: option '--yes' doesn't allow an argument\n"},
                 {{"--check", "--backup", windows}, "tessaril: --check writes nothing, so it keeps no "
                                                    "backup either: give one of --check and --backup\n"}};
    for (const Wrong &c : wrong) {
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n", c.args);
        EXPECT_EQ(2, r.exitCode) << c.said;
        EXPECT_EQ("", r.out) << c.said;
        EXPECT_EQ(std::string(c.said) + kTryHelp, r.err);
    }
    // Help that cannot be written is a failure.
    RunResult full = RunProgram({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", TESSARIL_EXE});
    EXPECT_EQ(1, full.exitCode);
    EXPECT_EQ("tessaril: standard output could not be written: No space left on device\n", full.err);
    EXPECT_EQ(bytes, ReadFile(SystemHive(windows)));
    EXPECT_EQ((std::set<std::string>{}), FolderNames(windows + "/Temp"));
}

// Every exit status, each from a whole run: what is on each stream, whether
// the hive file was replaced (its bytes and inode), and the log; each run
// once more with --json, whose one object tells the same.
TEST(CommandLine, StatusesTellWhatHappened)
{
    enum Prep { kFresh, kRepaired, kReadOnly };
    struct Row {
        const char *name;
        std::vector<std::string> sample;
        Prep prep;
        std::vector<std::string> args; // "W" stands for the Windows folder
        const char *input;
        int status;
        const char *boxes;   // "" none, "c" the confirmation, "cr" and the restart question
        const char *err;     // a part of standard error ("" for none at all)
        bool rewritten;      // the hive file replaced
        bool logged;         // a new log written
        const char *summary; // a part of the summary ("" for no summary)
    } rows[] = {
        {"repair", {}, kFresh, {"--yes", "W"}, "", 0, "cr", "", true, true, "repaired, and the hive saved"},
        {"again", {}, kRepaired, {"--yes", "W"}, "", 0, "cr", "", false, true, "nothing to change, so"},
        {"check", {}, kFresh, {"--check", "W"}, "", 5, "", "", false, false, "a repair would change it"},
        {"check, in order", {}, kRepaired, {"-n", "W"}, "", 0, "", "", false, false, "checked ControlSet001"},
        {"check, quiet", {}, kFresh, {"-nq", "W"}, "", 5, "", "", false, false, ""},
        {"quiet", {}, kFresh, {"-q", "-y", "W"}, "", 0, "", "", true, true, ""},
        {"declined", {}, kFresh, {"W"}, "n\n", 3, "c", "", false, false, ""},
        {"end of input", {}, kFresh, {"W"}, "", 3, "c", "", false, false, ""},
        {"read-only", {}, kReadOnly, {"--yes", "W"}, "", 2, "", "the file is marked read-only", false, false, ""},
        {"read-only, checked", {}, kReadOnly, {"--check", "W"}, "", 5, "", "tessaril: note: ", false, false,
         "nothing was written"},
        {"windows 7", {"--version", "6.1"}, kFresh, {"--yes", "W"}, "", 2, "",
         "is Windows 7 or Server 2008 R2 (version 6.1), and tessaril repairs only", false, false, ""},
        {"no drivers", {"--drivers", "none"}, kFresh, {"--yes", "W"}, "", 4, "cr", "", false, true,
         "Mbx7_xp is not set up: its file is missing"},
        {"not saved", {}, kFresh, {"FAIL", "--fail", "renameat:1:from", "--", "--yes", "W"}, "", 1, "c",
         "was not changed", false, true, "not repaired; the hive is as it was"},
    };
    for (const Row &row : rows)
      for (bool json : {false, true}) {
        SCOPED_TRACE(std::string(row.name) + (json ? ", json" : ""));
        std::string windows = MakeSample(FreshFolder("status"), row.sample);
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows), log = windows + "/Temp/Tessaril.log";
        if (row.prep == kRepaired) {
            ASSERT_EQ(0, RunTessaril(NULL, "", {"--yes", windows}).exitCode);
        } else if (row.prep == kReadOnly) {
            ASSERT_EQ(0, chmod(hive.c_str(), 0444));
        }
        WriteFile(log, "old log");
        std::string bytes = ReadFile(hive);
        struct stat before, after;
        ASSERT_EQ(0, stat(hive.c_str(), &before));

        std::vector<std::string> args = row.args;
        for (std::string &a : args)
            a = a == "W" ? windows : a == "FAIL" ? TESSARIL_FAILING_CALLS : a;
        if (json)
            args.push_back("--json");
        RunResult r;
        if (args[0] == TESSARIL_FAILING_CALLS) {
            std::string in = FreshFolder("status-input") + "/none";
            WriteFile(in, row.input);
            args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$@\" < \"$0\"", in});
            r = RunProgram(args);
        } else {
            r = RunTessaril(NULL, row.input, args);
        }
        EXPECT_EQ(row.status, r.exitCode) << r.err;
        if (json) {
            nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
            ASSERT_FALSE(j.is_discarded()) << r.out;
            EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
            EXPECT_EQ(row.status, j["status"]);
            EXPECT_FALSE(j["meaning"].get<std::string>().empty());
            EXPECT_EQ(windows, j["path"]);
            bool check = std::find_if(args.begin(), args.end(), [](const std::string &a) {
                             return a == "--check" || a.compare(0, 2, "-n") == 0;
                         }) != args.end();
            EXPECT_EQ(check, j["check"]);
            if (row.status != 2) {
                EXPECT_EQ(Real(windows), j["installation"]["folder"]);
            }
            EXPECT_EQ(row.rewritten, j["saved"]);
            EXPECT_EQ(row.logged ? nlohmann::json(Real(log)) : nlohmann::json(nullptr), j["log"]);
            std::string said;
            for (const auto &m : j["messages"])
                said += m.get<std::string>() + "\n";
            EXPECT_EQ(r.err, said);
            bool upper = false;
            for (const auto &v : j["values"])
                upper = upper || (v["value"] == "UpperFilters" && v["before"][1] == "OldBurner" &&
                                  v["after"] == nlohmann::json({"redbook", "imapi", "Gravle2k", "kvt_2k"}));
            EXPECT_EQ(row.rewritten || row.status == 5, upper) << j["values"];
            nlohmann::json notSetUp = row.status == 4 ? nlohmann::json::parse(
                R"([{"driver":"Gravle2k","why":"file-missing","reason":"its file is missing or cannot be opened"},
                    {"driver":"kvt_2k","why":"file-missing","reason":"its file is missing or cannot be opened"},
                    {"driver":"Mbx7_xp","why":"file-missing","reason":"its file is missing or cannot be opened"}])")
                                                      : nlohmann::json::array();
            if (row.status != 1) {
                EXPECT_EQ(notSetUp, j["drivers_not_set_up"]);
            }
            r.out.clear();
        }
        std::string boxes = json ? "" : row.boxes;
        std::vector<std::string> answers = row.input[0] ? std::vector<std::string>{"n"}
                                                        : std::vector<std::string>{};
        EXPECT_EQ(boxes == "" ? "" : boxes == "c" && row.status == 3 ? ConfirmBox(answers)
                                   : boxes == "c" ? ConfirmBox({"y"})
                                                  : ConfirmBox({"y"}) + RestartBox({"n"}),
                  r.out);
        EXPECT_TRUE(row.err[0] ? Contains(r.err, row.err) : r.err.empty()) << r.err;
        EXPECT_TRUE(row.summary[0] && !json ? Contains(r.summary, row.summary) : r.summary.empty()) << r.summary;
        ASSERT_EQ(0, stat(hive.c_str(), &after));
        EXPECT_EQ(row.rewritten, before.st_ino != after.st_ino);
        EXPECT_TRUE(row.rewritten || bytes == ReadFile(hive));
        std::string logged = ReadFile(log);
        EXPECT_EQ(row.logged, logged != "old log") << logged;
        EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));
      }

    // Several PATHs: each run as by itself, an object each, in turn; the
    // status the highest of theirs.
    std::string first = MakeSample(FreshFolder("several-1")), second = FreshFolder("several-2");
    RunResult r = RunTessaril(NULL, "", {"--check", "--json", first, second});
    EXPECT_EQ(5, r.exitCode);
    std::stringstream lines(r.out);
    std::vector<int> statuses;
    for (std::string line; std::getline(lines, line);)
        statuses.push_back(nlohmann::json::parse(line, nullptr, false).value("status", -1));
    EXPECT_EQ((std::vector<int>{5, 2}), statuses) << r.out;

    // --backup keeps the old hive once, beside the new one; a run with
    // nothing to change keeps no second copy, and no run removes it.
    std::string windows = MakeSample(FreshFolder("backup"));
    std::string config = windows + "/system32/config";
    std::string original = ReadFile(SystemHive(windows));
    for (int run = 0; run < 3; run++) {
        RunResult r = RunTessaril(NULL, "", {"--yes", "--backup", windows});
        EXPECT_EQ(0, r.exitCode) << r.err;
        std::set<std::string> names = FolderNames(config);
        ASSERT_EQ(3u, names.size()) << "run " << run;
        std::string kept;
        for (const std::string &n : names)
            if (n.compare(0, 23, "system.before-tessaril-") == 0)
                kept = n;
        ASSERT_FALSE(kept.empty()) << "run " << run;
        EXPECT_TRUE(original == ReadFile(config + "/" + kept));
        EXPECT_EQ(run == 0, Contains(r.summary, "the hive as it was is kept as " + config + "/" + kept))
            << r.summary;
    }
}

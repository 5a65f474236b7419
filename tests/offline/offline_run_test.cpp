// Whole runs of the tessaril program on sample installations: what it
// printed, its exit code, the log's bytes, and the hive read back with
// hivex, with reglookup and cell by cell.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

using namespace offline;

namespace {

const std::string kClassPath = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";
const std::string kFilterKeyFailure =
    "Fail - Cannot create HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    "{4D36E965-E325-11CE-BFC1-08002BE10318}";

std::string SystemHive(const std::string &windows) { return windows + "/system32/config/system"; }


std::string XpLog()
{
    return Entry("Operating System = Windows XP") +
           Entry("Before create Gravle2k in UpperFilters values: redbook|OldBurner|imapi|x?y|ab") +
           Entry("After create Gravle2k in UpperFilters values: redbook|imapi|Gravle2k") +
           Entry("Before create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k") +
           Entry("After create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k|kvt_2k") +
           Entry("Before create Mbx7_xp in LowerFilters values: PxHelp20|StaleLow") +
           Entry("After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp");
}

} // namespace

TEST(OfflineRun, XpRepairChangesExactlyTheFiltersAndServiceKeysInOneWrite)
{
    std::string windows = MakeSample(FreshFolder("xp"));
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    ASSERT_EQ(0, chmod(hive.c_str(), 0640));
    // Run as root (as on a rescue system), the hive may belong to anyone.
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, chown(hive.c_str(), 1234, 2345));
    }
    // What a run killed while writing the hive would have left beside it.
    WriteFile(hive + ".tessaril-99999-0", "half a hive");
    std::map<std::string, std::string> before = Reglookup(hive);
    ASSERT_EQ("MULTI_SZ,redbook|OldBurner|imapi|x?y|ab", before[kClassPath + "/UpperFilters"]);
    unsigned s1, s2;
    SequenceNumbers(hive, &s1, &s2);

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(ConfirmBox({"y"}) + RestartBox({"n"}), r.out);
    EXPECT_EQ(XpLog(), ReadFile(windows + "/Temp/Tessaril.log"));

    // The changes, and nothing else, as an independent reader sees them.
    std::map<std::string, std::string> after = Reglookup(hive);
    std::map<std::string, std::string> expectedNew = {
        {kClassPath + "/UpperFilters", "MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k"},
        {kClassPath + "/LowerFilters", "MULTI_SZ,PxHelp20|Mbx7_xp"},
    };
    const char *svc = "/ControlSet001/Services/";
    for (const char *d : {"Gravle2k", "kvt_2k", "Mbx7_xp"}) {
        std::string k = svc + std::string(d);
        expectedNew[k] = "KEY,";
        expectedNew[k + "/ErrorControl"] =
            std::string("DWORD,") + (strcmp(d, "Mbx7_xp") == 0 ? "0x00000001" : "0x00000000");
        if (strcmp(d, "kvt_2k") != 0)
            expectedNew[k + "/Enabled"] = "DWORD,0x00000001";
        expectedNew[k + "/Tag"] = "DWORD,0x00000006";
        expectedNew[k + "/Type"] = "DWORD,0x00000001";
        expectedNew[k + "/Start"] = "DWORD,0x00000001";
        expectedNew[k + "/Group"] = "SZ,Filter";
    }
    expectedNew[svc + std::string("Gravle2k/Parameters")] = "KEY,";
    expectedNew[svc + std::string("Gravle2k/Parameters/ExcludeMiniports")] = "SZ,";
    std::map<std::string, std::string> changed;
    for (const auto &kv : after) {
        auto old = before.find(kv.first);
        bool isKey = kv.second.compare(0, 4, "KEY,") == 0;
        // Keys carry their modification time; parents of new keys get a new one.
        if (old == before.end() || (!isKey && old->second != kv.second))
            changed[kv.first] = isKey ? "KEY," : kv.second;
    }
    for (const auto &kv : before)
        EXPECT_TRUE(after.count(kv.first)) << "lost " << kv.first;
    EXPECT_EQ(expectedNew, changed);

    // The stored form: UTF-16LE, exactly as long as the entries.
    int type = 0;
    std::string data;
    ASSERT_TRUE(HivexValue(hive, std::string("ControlSet001\\") + kClassKey, "UpperFilters", &type, &data));
    EXPECT_EQ(7, type);
    EXPECT_EQ(MultiUtf16({"redbook", "imapi", "Gravle2k", "kvt_2k"}), data);
    ASSERT_TRUE(HivexValue(hive, "ControlSet001\\Services\\Gravle2k", "Group", &type, &data));
    EXPECT_EQ(1, type);
    EXPECT_EQ(Utf16("Filter"), data);

    // One write for the run, the file's permissions kept, nothing left beside it.
    unsigned t1, t2;
    SequenceNumbers(hive, &t1, &t2);
    EXPECT_EQ(s1 + 1, t1);
    EXPECT_EQ(t1, t2);
    struct stat st;
    ASSERT_EQ(0, stat(hive.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    if (root) {
        EXPECT_EQ(1234u, st.st_uid);
        EXPECT_EQ(2345u, st.st_gid);
    }
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));
    EXPECT_EQ((std::vector<std::string>{"ControlSet001", "Select"}), HivexSubkeys(hive, ""));

    // A second run finds everything in place and writes the same lists again.
    RunResult again = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, again.exitCode);
    EXPECT_EQ(Entry("Operating System = Windows XP") +
                  Entry("Before create Gravle2k in UpperFilters values: redbook|imapi|Gravle2k|kvt_2k") +
                  Entry("After create Gravle2k in UpperFilters values: redbook|imapi|kvt_2k|Gravle2k") +
                  Entry("Before create kvt_2k in UpperFilters values: redbook|imapi|kvt_2k|Gravle2k") +
                  Entry("After create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k|kvt_2k") +
                  Entry("Before create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp") +
                  Entry("After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp"),
              ReadFile(windows + "/Temp/Tessaril.log"));
}

TEST(OfflineRun, DecliningOrEndOfInputTouchesNothing)
{
    struct Case {
        std::string input;
        std::vector<std::string> shown;
    } cases[] = {{"n\n", {"n"}}, {"", {}}, {"maybe\n  NO \n", {"maybe", "  NO "}}, {"No", {"No"}}};
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("decline"));
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        WriteFile(windows + "/Temp/Tessaril.log", "old log");
        std::string bytes = ReadFile(hive);
        RunResult r = RunTessaril(windows.c_str(), c.input);
        EXPECT_EQ(3, r.exitCode) << c.input;
        EXPECT_EQ(ConfirmBox(c.shown), r.out) << c.input;
        EXPECT_EQ("", r.summary) << c.input;
        EXPECT_EQ(bytes, ReadFile(hive)) << c.input;
        EXPECT_EQ("old log", ReadFile(windows + "/Temp/Tessaril.log")) << c.input;
    }
}

TEST(OfflineRun, RestartIsAskedButCannotHappenOffline)
{
    std::string windows = MakeSample(FreshFolder("restart"));
    ASSERT_FALSE(windows.empty());
    RunResult r = RunTessaril(windows.c_str(), "YES\nwhat\nY\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(ConfirmBox({"YES"}) + RestartBox({"what", "Y"}), r.out);
    EXPECT_EQ(XpLog(), ReadFile(windows + "/Temp/Tessaril.log"));
}

TEST(OfflineRun, Windows2000HiveStaysFreeOfHashLeaves)
{
    std::string windows = MakeSample(FreshFolder("w2k"), {"--version", "5.0"});
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ("WINNT", windows.substr(windows.size() - 5));
    std::string hive = SystemHive(windows);
    CellCensus before = CountCells(hive);
    ASSERT_TRUE(before.walked);
    EXPECT_EQ(0, before.lists["lh"]);
    EXPECT_GT(before.lists["lf"], 0);

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(Entry("Operating System = Windows 2K") +
                  Entry("Before create Gravle2k in UpperFilters values: redbook|OldBurner|imapi|x?y|ab") +
                  Entry("After create Gravle2k in UpperFilters values: redbook|imapi|Gravle2k") +
                  Entry("Before create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k") +
                  Entry("After create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k|kvt_2k") +
                  Entry("Before create Mbx7_2k in LowerFilters values: PxHelp20|StaleLow") +
                  Entry("After create Mbx7_2k in LowerFilters values: PxHelp20|Mbx7_2k"),
              ReadFile(windows + "/Temp/Tessaril.log"));

    CellCensus after = CountCells(hive);
    ASSERT_TRUE(after.walked);
    EXPECT_EQ(0, after.lists["lh"]);
    EXPECT_GT(after.lists["lf"], before.lists["lf"]); // Gravle2k got a subkey list
    EXPECT_EQ(0, after.badHints);
    std::map<std::string, std::string> seen = Reglookup(hive);
    EXPECT_EQ("MULTI_SZ,PxHelp20|Mbx7_2k", seen[kClassPath + "/LowerFilters"]);
    EXPECT_EQ("SZ,", seen["/ControlSet001/Services/Gravle2k/Parameters/ExcludeMiniports"]);
    EXPECT_NE(std::string::npos, RunProgram({"/usr/bin/regfinfo", hive}).out.find("Version:\t1.3"));

    // The same repair on a format 1.5 hive does get hivex's hash leaves: the
    // census above would have seen them.
    std::string xp = MakeSample(FreshFolder("xp-lh"));
    ASSERT_EQ(0, RunTessaril(xp.c_str(), "y\nn\n").exitCode);
    EXPECT_GT(CountCells(SystemHive(xp)).lists["lh"], 0);
}

TEST(OfflineRun, PathsResolveWithoutRegardToCase)
{
    std::string windows = MakeSample(FreshFolder("case"), {"--mangle-case", "--windir", "Windows"});
    ASSERT_FALSE(windows.empty());
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(XpLog(), ReadFile(windows + "/TEMP/Tessaril.log"));
    EXPECT_EQ((std::set<std::string>{"Tessaril.log"}), FolderNames(windows + "/TEMP"));
    EXPECT_EQ("MULTI_SZ,PxHelp20|Mbx7_xp",
              Reglookup(windows + "/System32/CONFIG/SYSTEM")[kClassPath + "/LowerFilters"]);
}

TEST(OfflineRun, SelectCurrentChoosesTheControlSet)
{
    std::string windows = MakeSample(FreshFolder("cs2"), {"--current", "2"});
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(XpLog(), ReadFile(windows + "/Temp/Tessaril.log"));
    std::map<std::string, std::string> seen = Reglookup(hive);
    const std::string cs2 = "/ControlSet002/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";
    EXPECT_EQ("MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k", seen[cs2 + "/UpperFilters"]);
    EXPECT_EQ("MULTI_SZ,redbook|OldBurner|imapi|x?y|ab", seen[kClassPath + "/UpperFilters"]);
    EXPECT_EQ("DWORD,0x00000001", seen["/ControlSet002/Services/Mbx7_xp/ErrorControl"]);
    EXPECT_EQ(0u, seen.count("/ControlSet001/Services/Mbx7_xp"));
    EXPECT_EQ((std::vector<std::string>{"ControlSet001", "ControlSet002", "Select"}), HivexSubkeys(hive, ""));
}

TEST(OfflineRun, SystemHiveWithoutUsableSelectIsRefused)
{
    for (std::vector<std::string> options :
         {std::vector<std::string>{"--current", "0"}, {"--current", "3", "--control-sets", "2"}}) {
        std::string windows = MakeSample(FreshFolder("noselect"), options);
        ASSERT_FALSE(windows.empty());
        std::string bytes = ReadFile(SystemHive(windows));
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_NE(0, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find("names no control set that it holds")) << r.err;
        EXPECT_EQ(bytes, ReadFile(SystemHive(windows)));
        EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp"));
    }
}

TEST(OfflineRun, ReadOnlyHiveIsRefusedBeforeAnyQuestion)
{
    std::string windows = MakeSample(FreshFolder("readonly"));
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    ASSERT_EQ(0, chmod(hive.c_str(), 0444));
    std::string bytes = ReadFile(hive);
    RunResult r = RunTessaril(windows.c_str(), "y\n");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("tessaril: " + hive + " cannot be changed: the file is marked read-only; give its owner "
              "the right to write it (chmod u+w), then run tessaril again. Nothing was changed.\n",
              r.err);
    EXPECT_EQ("", r.out + r.summary);
    EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp"));
    EXPECT_EQ(bytes, ReadFile(hive));
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));
}

TEST(OfflineRun, DamagedOrUncleanHivesAreRefusedUntouched)
{
    struct Case {
        const char *name;
        size_t at;     // where to change the base block
        unsigned add;  // added to the 32-bit word there
        bool fixSum;   // whether the checksum is made right again
        const char *said;
    } cases[] = {
        {"unclean", 8, 1, true, "Windows did not shut down cleanly"},
        {"checksum", 0x30, 1, false, "is damaged"},
        {"root", 0x24, 0x100000, true, "is damaged"},
        {"version", 0x14, 1, true, "is damaged"},
        // Bins far past the end of the file: hivex would grow the hive to
        // that size (1.8 GB) on the first key added.
        {"bins", 0x28, 0x6B000000, true, "its header gives a size or a root key that the file does not hold"},
    };
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder(std::string("damaged-") + c.name));
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        std::string d = ReadFile(hive);
        auto get = [&](size_t at) {
            return (unsigned)(unsigned char)d[at] | (unsigned)(unsigned char)d[at + 1] << 8 |
                   (unsigned)(unsigned char)d[at + 2] << 16 | (unsigned)(unsigned char)d[at + 3] << 24;
        };
        auto put = [&](size_t at, unsigned v) {
            for (int i = 0; i < 4; i++)
                d[at + i] = (char)(v >> (8 * i));
        };
        put(c.at, get(c.at) + c.add);
        if (c.fixSum) {
            unsigned sum = 0;
            for (size_t i = 0; i < 0x1FC; i += 4)
                sum ^= get(i);
            put(0x1FC, sum);
        }
        WriteFile(hive, d);
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_NE(0, r.exitCode) << c.name;
        EXPECT_EQ("", r.out) << c.name;
        EXPECT_NE(std::string::npos, r.err.find(c.said)) << c.name << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find("Nothing was changed")) << c.name;
        EXPECT_EQ(d, ReadFile(hive)) << c.name;
        EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp")) << c.name;
    }

    std::string windows = MakeSample(FreshFolder("damaged-text"));
    WriteFile(SystemHive(windows), std::string(8192, 'x'));
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_NE(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("is not a registry hive")) << r.err;
    EXPECT_EQ(std::string(8192, 'x'), ReadFile(SystemHive(windows)));
}

TEST(OfflineRun, LockedInstallationIsReportedInUse)
{
    std::string windows = MakeSample(FreshFolder("locked"));
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    std::string bytes = ReadFile(hive);
    int fd = open(hive.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    close(fd);
    EXPECT_NE(0, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("is in use")) << r.err;
    EXPECT_EQ(bytes, ReadFile(hive));
    // Once the lock is gone the same installation is repaired.
    EXPECT_EQ(0, RunTessaril(windows.c_str(), "y\nn\n").exitCode);
    EXPECT_EQ(XpLog(), ReadFile(windows + "/Temp/Tessaril.log"));
}

TEST(OfflineRun, VersionComesFromTheSoftwareHive)
{
    // Refused before any question, with the version found; standard error
    // holds that and, without a SOFTWARE hive, why the version is unknown.
    struct Case {
        std::vector<std::string> options;
        const char *warning; // what follows the hive's path
        const char *found;
    } cases[] = {
        {{"--no-software"}, " does not exist), so the Windows version is unknown.\n",
         "names no Windows version that can be read (in the SOFTWARE hive)"},
        {{"--version", "none"}, "", "names no Windows version that can be read (in the SOFTWARE hive)"},
        {{"--version", "6.0"}, "", "is Windows Vista or Server 2008 (version 6.0)"},
        {{"--version", "4.0"}, "", "is Windows NT 4.0 (version 4.0)"},
        {{"--version", "5.x"}, "", "names no Windows version that can be read (in the SOFTWARE hive)"}};
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("version"), c.options);
        ASSERT_FALSE(windows.empty());
        WriteFile(windows + "/Temp/Tessaril.log", "old log");
        std::string bytes = ReadFile(SystemHive(windows));
        RunResult r = RunTessaril(windows.c_str(), "y\n");
        EXPECT_EQ(2, r.exitCode) << c.options[0];
        EXPECT_EQ("", r.out + r.summary) << c.options[0];
        std::string warning;
        if (*c.warning)
            warning = "tessaril: warning: the SOFTWARE hive cannot be read (" + windows +
                      "/system32/config/software" + c.warning;
        EXPECT_EQ(warning + "tessaril: the installation at " + windows + " " + c.found +
                      ", and tessaril repairs only Windows 2000 and XP. Nothing was changed.\n",
                  r.err);
        EXPECT_EQ("old log", ReadFile(windows + "/Temp/Tessaril.log"));
        EXPECT_EQ(bytes, ReadFile(SystemHive(windows)));
    }

    // 5.2 is a later XP release.
    std::string windows = MakeSample(FreshFolder("version52"), {"--version", "5.2"});
    EXPECT_EQ(0, RunTessaril(windows.c_str(), "y\nn\n").exitCode);
    EXPECT_EQ(XpLog(), ReadFile(windows + "/Temp/Tessaril.log"));
}

TEST(OfflineRun, FilterEntriesAreConvertedThroughWindows1252)
{
    // "Snow☃Man" and "Ωmega" have characters the code page lacks: they reach
    // the wizard with "?" and are dropped. "Café" matches the service "CAFÉ".
    std::string windows = MakeSample(
        FreshFolder("cp1252"),
        {"--upper", "Café|Snow☃Man|€uro|Ωmega|GONE|tail\xF0\x9F\x98\x80x", "--services", "CAFÉ,€uro"});
    ASSERT_FALSE(windows.empty());
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    std::string log = ReadFile(windows + "/Temp/Tessaril.log");
    EXPECT_EQ(Entry("Operating System = Windows XP") +
                  Entry("Before create Gravle2k in UpperFilters values: Caf\xE9|Snow?Man|\x80uro|?mega|GONE|tail?x") +
                  Entry("After create Gravle2k in UpperFilters values: Caf\xE9|\x80uro|Gravle2k") +
                  Entry("Before create kvt_2k in UpperFilters values: Caf\xE9|\x80uro|Gravle2k") +
                  Entry("After create kvt_2k in UpperFilters values: Caf\xE9|\x80uro|Gravle2k|kvt_2k") +
                  Entry("Before create Mbx7_xp in LowerFilters values: PxHelp20|StaleLow") +
                  Entry("After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp"),
              log);
    int type = 0;
    std::string data;
    ASSERT_TRUE(HivexValue(SystemHive(windows), std::string("ControlSet001\\") + kClassKey,
                           "UpperFilters", &type, &data));
    EXPECT_EQ(7, type);
    EXPECT_EQ(MultiUtf16({"Café", "€uro", "Gravle2k", "kvt_2k"}), data);
}

TEST(OfflineRun, MissingPiecesAreReportedAndTheRunGoesOn)
{
    // No driver files: nothing is written, so the hive stays byte for byte.
    std::string windows = MakeSample(FreshFolder("nodrivers"), {"--drivers", "none"});
    ASSERT_FALSE(windows.empty());
    std::string bytes = ReadFile(SystemHive(windows));
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(4, r.exitCode);
    EXPECT_EQ(ConfirmBox({"y"}) + RestartBox({"n"}), r.out);
    EXPECT_EQ(Entry("Operating System = Windows XP") + Entry("Fail - Missing Gravle2k") +
                  Entry("Fail - Missing kvt_2k") + Entry("Fail - Missing Mbx7_xp"),
              ReadFile(windows + "/Temp/Tessaril.log"));
    EXPECT_EQ("tessaril: ControlSet001 of " + SystemHive(windows) +
                  ": nothing to change, so the hive was left as it was\n"
                  "tessaril: Gravle2k is not set up: its file is missing or cannot be opened\n"
                  "tessaril: kvt_2k is not set up: its file is missing or cannot be opened\n"
                  "tessaril: Mbx7_xp is not set up: its file is missing or cannot be opened\n"
                  "tessaril: the log: " + windows + "/Temp/Tessaril.log\n",
              r.summary);
    EXPECT_EQ(bytes, ReadFile(SystemHive(windows)));

    // No Temp folder: no log anywhere, the repair done all the same.
    windows = MakeSample(FreshFolder("notemp"), {"--no-temp"});
    r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(ConfirmBox({"y"}) + RestartBox({"n"}), r.out);
    EXPECT_EQ("tessaril: warning: " + windows + " has no Temp folder, so this run keeps no log.\n", r.err);
    EXPECT_NE(std::string::npos, r.summary.find("tessaril: no log could be kept\n")) << r.summary;
    EXPECT_EQ((std::set<std::string>{"system32"}), FolderNames(windows));
    EXPECT_EQ("MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k",
              Reglookup(SystemHive(windows))[kClassPath + "/UpperFilters"]);

    // No class key: it is made, and both lists with it.
    windows = MakeSample(FreshFolder("noclass"), {"--no-class-key"});
    r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(Entry("Operating System = Windows XP") +
                  Entry("After create Gravle2k in UpperFilters values: Gravle2k") +
                  Entry("Before create kvt_2k in UpperFilters values: Gravle2k") +
                  Entry("After create kvt_2k in UpperFilters values: Gravle2k|kvt_2k") +
                  Entry("After create Mbx7_xp in LowerFilters values: Mbx7_xp"),
              ReadFile(windows + "/Temp/Tessaril.log"));
    std::map<std::string, std::string> seen = Reglookup(SystemHive(windows));
    EXPECT_EQ("MULTI_SZ,Gravle2k|kvt_2k", seen[kClassPath + "/UpperFilters"]);
    EXPECT_EQ("MULTI_SZ,Mbx7_xp", seen[kClassPath + "/LowerFilters"]);
}

TEST(OfflineRun, ListsLongerThanTheMergeBufferKeepTheirRegisteredEntries)
{
    // 60 registered entries of 13 characters: 840 bytes before the repair.
    std::string windows = MakeSample(FreshFolder("long"), {"--filter-filler", "60"});
    ASSERT_FALSE(windows.empty());
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    std::vector<std::string> upper = {"redbook", "imapi"};
    std::vector<std::string> lower = {"PxHelp20"};
    for (int i = 1; i <= 60; i++) {
        char name[32];
        snprintf(name, sizeof name, "SampleSvc%04d", i);
        upper.push_back(name);
        lower.push_back(name);
    }
    upper.push_back("Gravle2k");
    upper.push_back("kvt_2k");
    lower.push_back("Mbx7_xp");
    std::string hive = windows + "/system32/config/system";
    int type = 0;
    std::string data;
    ASSERT_TRUE(HivexValue(hive, std::string("ControlSet001\\") + kClassKey, "UpperFilters", &type, &data));
    EXPECT_EQ(MultiUtf16(upper), data);
    ASSERT_TRUE(HivexValue(hive, std::string("ControlSet001\\") + kClassKey, "LowerFilters", &type, &data));
    EXPECT_EQ(MultiUtf16(lower), data);
}

TEST(OfflineRun, HiveDamagedDeepInsideIsRefusedBeforeAnyQuestion)
{
    // The base block is fine, so hivex would open the hive; one service key
    // deep in it has lost its signature, which hivex would meet only when
    // Services is read. The whole-hive check finds it first.
    std::string windows = MakeSample(FreshFolder("deep-damage"));
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    std::string d = ReadFile(hive);
    size_t at = d.find("SampleSvc0150");
    while (at != std::string::npos && !(at >= 0x4C && d.compare(at - 0x4C, 2, "nk") == 0))
        at = d.find("SampleSvc0150", at + 1);
    ASSERT_NE(std::string::npos, at);
    d.replace(at - 0x4C, 2, "xx");
    WriteFile(hive, d);

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find(" is damaged: the cell of subkey #"));
    EXPECT_NE(std::string::npos, r.err.find(" of key \\ControlSet001\\Services, at offset 0x")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("holds another kind of record. Let Windows check and mend it, or "
                                            "restore the hive from a backup, then run tessaril again. Nothing "
                                            "was changed.\n"))
        << r.err;
    EXPECT_EQ(d, ReadFile(hive));
    EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp"));
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));
}

TEST(OfflineRun, Windows2000IndexLeafTakesNewKeysAndStaysAnIndexLeaf)
{
    // Windows 2000 also writes plain index leaves ("li": offsets only). Turn
    // the Services list of a sample into one and repair it.
    std::string windows = MakeSample(FreshFolder("w2k-li"), {"--version", "5.0"});
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    std::string d = ReadFile(hive);
    auto get32 = [&](size_t at) {
        return (unsigned)(unsigned char)d[at] | (unsigned)(unsigned char)d[at + 1] << 8 |
               (unsigned)(unsigned char)d[at + 2] << 16 | (unsigned)(unsigned char)d[at + 3] << 24;
    };
    size_t at = d.find("Services");
    while (at != std::string::npos && !(at >= 0x4C && d.compare(at - 0x4C, 2, "nk") == 0))
        at = d.find("Services", at + 1);
    ASSERT_NE(std::string::npos, at);
    size_t list = 0x1000 + get32(at - 0x4C + 0x1C) + 4;
    ASSERT_EQ("lf", d.substr(list, 2));
    unsigned n = (unsigned char)d[list + 2] | (unsigned char)d[list + 3] << 8;
    d.replace(list, 2, "li");
    for (unsigned i = 0; i < n; i++)
        d.replace(list + 4 + 4 * i, 4, d.substr(list + 4 + 8 * i, 4));
    WriteFile(hive, d);
    ASSERT_EQ(1, CountCells(hive).lists["li"]);
    size_t servicesBefore = HivexSubkeys(hive, "ControlSet001\\Services").size();

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    CellCensus after = CountCells(hive);
    EXPECT_EQ(1, after.lists["li"]);
    EXPECT_EQ(0, after.lists["lh"]);
    EXPECT_EQ(0, after.badHints);
    EXPECT_EQ(servicesBefore + 3, HivexSubkeys(hive, "ControlSet001\\Services").size());
    std::map<std::string, std::string> seen = Reglookup(hive);
    EXPECT_EQ("DWORD,0x00000001", seen["/ControlSet001/Services/Mbx7_2k/ErrorControl"]);
    EXPECT_EQ("DWORD,0x00000001", seen["/ControlSet001/Services/SampleSvc0300/Type"]);
}

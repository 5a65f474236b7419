// What an installation itself decides about a run: the control set that
// Windows boots next, the installation's own ANSI code page, and a hive that
// cannot be saved, which the log must not call a success.
#include "offline_harness.h"

#include <gtest/gtest.h>

using namespace offline;

namespace {

std::string SystemHive(const std::string &windows) { return windows + "/system32/config/system"; }

const std::string kClass = "\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}";

std::string Value(const std::string &hive, const std::string &key, const std::string &name)
{
    int type = 0;
    std::string data;
    if (!HivexValue(hive, key, name, &type, &data))
        return "(none)";
    return std::to_string(type) + ":" + data;
}

const std::string kUntouchedUpper = "7:" + MultiUtf16({"redbook", "OldBurner", "imapi", "x?y", "ab"});
const std::string kRepairedUpper = "7:" + MultiUtf16({"redbook", "imapi", "Gravle2k", "kvt_2k"});

} // namespace

TEST(OfflineInstallation, TheSetSelectDefaultNamesIsRepaired)
{
    struct Case {
        const char *name;
        std::vector<std::string> options;
        const char *repaired, *untouched, *said;
    } cases[] = {
        {"default 2, current 1", {"--current", "1", "--default", "2", "--control-sets", "2"},
         "ControlSet002", "ControlSet001",
         "tessaril: note: the SYSTEM hive's Select\\Default names ControlSet002 and its "
         "Select\\Current ControlSet001; ControlSet002 is repaired, as Windows starts the set "
         "that Default names at its next boot (Current is only the set it last started).\n"},
        {"default names no set", {"--current", "2", "--default", "3", "--control-sets", "2"},
         "ControlSet002", "ControlSet001",
         "tessaril: note: the SYSTEM hive's Select\\Default names no control set the hive holds; "
         "ControlSet002, which Select\\Current names, is repaired.\n"},
        {"no default", {"--current", "2", "--default", "0", "--control-sets", "2"},
         "ControlSet002", "ControlSet001", ""},
    };
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("select-default"), c.options);
        ASSERT_FALSE(windows.empty()) << c.name;
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(0, r.exitCode) << c.name;
        EXPECT_EQ(c.said, r.err) << c.name;
        std::string hive = SystemHive(windows);
        EXPECT_EQ(kRepairedUpper, Value(hive, c.repaired + kClass, "UpperFilters")) << c.name;
        EXPECT_EQ(kUntouchedUpper, Value(hive, c.untouched + kClass, "UpperFilters")) << c.name;
        EXPECT_TRUE(HivexKeyExists(hive, c.repaired + std::string("\\Services\\Mbx7_xp"))) << c.name;
        EXPECT_FALSE(HivexKeyExists(hive, c.untouched + std::string("\\Services\\Mbx7_xp"))) << c.name;
        EXPECT_EQ((std::vector<std::string>{"ControlSet001", "ControlSet002", "Select"}), HivexSubkeys(hive, ""))
            << c.name;
    }
}

TEST(OfflineInstallation, FilterEntriesAreReadInTheInstallationsCodePage)
{
    // Each list holds an entry of the code page whose service key is spelt in
    // the other case (kept, as stored), one that is not registered, and one
    // the code page cannot hold (shown with "?" and dropped).
    struct Case {
        const char *acp;
        std::string kept, keptAnsi, service, gone, goneAnsi, foreign, foreignAnsi;
    } cases[] = {
        {"1251", "Фильтр", "\xD4\xE8\xEB\xFC\xF2\xF0", "ФИЛЬТР", "Старый", "\xD1\xF2\xE0\xF0\xFB\xE9",
         "日本", "??"},
        // ア is 83 41: its second byte is an "A" that lowercasing must leave alone.
        {"932", "アＣＤ書込", "\x83\x41\x82\x62\x82\x63\x8F\x91\x8D\x9E", "アｃｄ書込", "日本語",
         "\x93\xFA\x96\x7B\x8C\xEA", "Café", "Caf?"},
    };
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder(std::string("acp") + c.acp),
                                         {"--acp", c.acp, "--upper",
                                          c.kept + "|" + c.gone + "|" + c.foreign + "|redbook",
                                          "--services", c.service});
        ASSERT_FALSE(windows.empty()) << c.acp;
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(0, r.exitCode) << c.acp;
        EXPECT_EQ("", r.err) << c.acp;
        EXPECT_EQ(Entry("Operating System = Windows XP") +
                      Entry("Before create Gravle2k in UpperFilters values: " + c.keptAnsi + "|" +
                            c.goneAnsi + "|" + c.foreignAnsi + "|redbook") +
                      Entry("After create Gravle2k in UpperFilters values: " + c.keptAnsi + "|redbook|Gravle2k") +
                      Entry("Before create kvt_2k in UpperFilters values: " + c.keptAnsi + "|redbook|Gravle2k") +
                      Entry("After create kvt_2k in UpperFilters values: " + c.keptAnsi +
                            "|redbook|Gravle2k|kvt_2k") +
                      Entry("Before create Mbx7_xp in LowerFilters values: PxHelp20|StaleLow") +
                      Entry("After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp"),
                  ReadFile(windows + "/Temp/Tessaril.log"))
            << c.acp;
        EXPECT_EQ("7:" + MultiUtf16({c.kept, "redbook", "Gravle2k", "kvt_2k"}),
                  Value(SystemHive(windows), "ControlSet001" + kClass, "UpperFilters"))
            << c.acp;
    }

    // A code page this system cannot convert: Windows-1252, and a warning.
    std::string windows = MakeSample(FreshFolder("acp-unknown"), {"--acp", "4711", "--upper", "Café|redbook",
                                                                  "--services", "CAFÉ"});
    ASSERT_FALSE(windows.empty());
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("tessaril: warning: the installation's ANSI code page (Control\\Nls\\CodePage, ACP "
              "\"4711\") is not one this system can convert, so its names and texts are read as "
              "Windows-1252; characters outside it come out as \"?\".\n",
              r.err);
    EXPECT_EQ("7:" + MultiUtf16({"Café", "redbook", "Gravle2k", "kvt_2k"}),
              Value(SystemHive(windows), "ControlSet001" + kClass, "UpperFilters"));
}

TEST(OfflineInstallation, AHiveThatCannotBeSavedIsTheLogsLastLine)
{
    // A limit on the size of the files the run may write, which root is held
    // to as well: the log fits, the new hive does not.
    std::string windows = MakeSample(FreshFolder("unsaved"));
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    std::string bytes = ReadFile(hive);
    ASSERT_GT(bytes.size(), 64u * 1024);
    std::string input = FreshFolder("unsaved-input") + "/answers";
    WriteFile(input, "y\nn\n");
    RunResult r = RunProgram({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" < \"$1\"",
                              TESSARIL_EXE, input},
                             windows.c_str());
    // Told before anything suggests success: no restart question.
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(ConfirmBox({"y"}), r.out);
    EXPECT_EQ(0u, r.summary.find("tessaril: ControlSet001 of " + hive + ": not repaired; the hive is as it was\n"))
        << r.summary;
    EXPECT_EQ("tessaril: the hive " + hive +
                  " was not changed: tessaril wrote the changed hive into a new file beside it, "
                  "and writing it failed because the file would be larger than the system allows "
                  "this process to write. None of this run's changes were saved (the log lists "
                  "them as made); mend the cause and run tessaril again.\n",
              r.err);
    std::string log = ReadFile(windows + "/Temp/Tessaril.log");
    std::string last = Entry("After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp") +
                       Entry("Fail - Cannot save the registry hive system32\\config\\system");
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(last, log.substr(log.size() - last.size()));
    EXPECT_EQ(bytes, ReadFile(hive));
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));
}

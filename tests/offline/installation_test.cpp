// What an installation itself decides about a run: the control set that
// Windows boots next, the installation's own ANSI code page, and a hive that
// cannot be saved, which the log must not call a success.
#include "offline_harness.h"

#include "platform/emulated/codepage.h"

#include <stdio.h>
#include <string.h>

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

namespace {

// The list text of a log line: a longer one shows its first 259 characters
// (the lists below never have a "|" as their 260th).
std::string Shown(const std::string &text) { return text.substr(0, 259); }

std::string Repeat(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; i++)
        r += s;
    return r;
}

} // namespace

TEST(OfflineInstallation, EveryAnsiCodePageKeepsItsRegisteredNameAndDropsItsTwin)
{
    // In each ANSI code page of Windows 2000 and XP: a registered service
    // spelt in the code page's own letters, and a twin that differs only in
    // its last character and is not registered. The 932 names have 5C, "\",
    // as second bytes; the 950 ones 4E, "N"; the 1258 ones end in a tone mark
    // that a converter waiting for marks holds back or merges.
    struct Case {
        std::string acp, name, nameAnsi, twin, twinAnsi;
    } cases[] = {
        {"874", "กขค", "\xA1\xA2\xA4", "กขง", "\xA1\xA2\xA7"},
        {"932", "ソフト", "\x83\x5C\x83\x74\x83\x67", "ソフド", "\x83\x5C\x83\x74\x83\x68"},
        // 130 characters, 260 bytes: within the 255 characters of a key name.
        {"932", Repeat("ソ", 130), Repeat("\x83\x5C", 130), Repeat("ソ", 129) + "ト",
         Repeat("\x83\x5C", 129) + "\x83\x67"},
        {"936", "光盘刻录", "\xB9\xE2\xC5\xCC\xBF\xCC\xC2\xBC", "光盘刻机", "\xB9\xE2\xC5\xCC\xBF\xCC\xBB\xFA"},
        {"949", "광디스크", "\xB1\xA4\xB5\xF0\xBD\xBA\xC5\xA9", "광디스코", "\xB1\xA4\xB5\xF0\xBD\xBA\xC4\xDA"},
        {"950", "光碟燒錄", "\xA5\xFA\xBA\xD0\xBF\x4E\xBF\xFD", "光碟燒機", "\xA5\xFA\xBA\xD0\xBF\x4E\xBE\xF7"},
        {"1250", "Łódź", "\xA3\xF3\x64\x9F", "Łódż", "\xA3\xF3\x64\xBF"},
        {"1251", "Фильтр", "\xD4\xE8\xEB\xFC\xF2\xF0", "Фильтс", "\xD4\xE8\xEB\xFC\xF2\xF1"},
        {"1252", "Graveuré", "Graveur\xE9", "Graveurè", "Graveur\xE8"},
        {"1253", "Δίσκοι", "\xC4\xDF\xF3\xEA\xEF\xE9", "Δίσκοε", "\xC4\xDF\xF3\xEA\xEF\xE5"},
        {"1254", "Sürücü", "S\xFCr\xFC" "c\xFC", "Sürücö", "S\xFCr\xFC" "c\xF6"},
        {"1255", "אבג", "\xE0\xE1\xE2", "אבד", "\xE0\xE1\xE3"},
        {"1256", "قرص", "\xDE\xD1\xD5", "قرض", "\xDE\xD1\xD6"},
        {"1257", "Diskų", "Disk\xF8", "Diską", "Disk\xE0"},
        {"1258", "Ti\u00EA\u0301", "Ti\xEA\xEC", "Ti\u00EA\u0300", "Ti\xEA\xCC"},
    };
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("acp-twin" + c.acp),
                                         {"--acp", c.acp, "--upper", c.twin + "|" + c.name + "|redbook",
                                          "--services", c.name});
        ASSERT_FALSE(windows.empty()) << c.acp;
        RunResult r = RunTessaril(NULL, "", {"--yes", windows});
        EXPECT_EQ(0, r.exitCode) << c.acp;
        EXPECT_EQ("", r.err) << c.acp;
        std::string log = ReadFile(windows + "/Temp/Tessaril.log");
        for (const std::string &line :
              {"Before create Gravle2k in UpperFilters values: " + Shown(c.twinAnsi + "|" + c.nameAnsi + "|redbook"),
              "After create Gravle2k in UpperFilters values: " + Shown(c.nameAnsi + "|redbook|Gravle2k")})
            EXPECT_NE(std::string::npos, log.find(Entry(line))) << c.acp << ": " << line;
        EXPECT_EQ("7:" + MultiUtf16({c.name, "redbook", "Gravle2k", "kvt_2k"}),
                  Value(SystemHive(windows), "ControlSet001" + kClass, "UpperFilters"))
            << c.acp;
    }
}

TEST(OfflineInstallation, SingleByteCodePagesConvertByteForByteAsWindowsTablesDo)
{
    // The reference: Python's cp874 and cp125x codecs, made from the tables
    // Microsoft published; -1 for a byte they leave undefined.
    const unsigned pages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
    FILE *python = popen("python3 -c 'for cp in (874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258):\n"
                         "    for b in range(256):\n"
                         "        try: u = ord(bytes([b]).decode(\"cp%d\" % cp))\n"
                         "        except UnicodeDecodeError: u = -1\n"
                         "        print(cp, b, u)' 2>/dev/null",
                         "r");
    std::map<unsigned, std::vector<long>> reference;
    unsigned cp, byte;
    long unit;
    while (python != NULL && fscanf(python, "%u %u %ld", &cp, &byte, &unit) == 3 && byte < 256) {
        reference[cp].resize(256);
        reference[cp][byte] = unit;
    }
    if (python != NULL)
        pclose(python);
    if (reference.size() != sizeof pages / sizeof pages[0])
        GTEST_SKIP() << "python3 with its cp874 and cp125x codecs is needed for the reference tables";

    for (unsigned page : pages) {
        ASSERT_TRUE(SelectCodePage(page)) << page;
        unsigned char all[256], units[512], back[256];
        for (int b = 0; b < 256; b++)
            all[b] = (unsigned char)b;
        // All bytes in one text: one character each, none held back or merged.
        ASSERT_EQ(512u, AnsiToUtf16le(all, 256, units, sizeof units)) << page;
        std::set<uint16_t> defined;
        for (int b = 0; b < 256; b++)
            if (reference[page][b] >= 0)
                defined.insert((uint16_t)reference[page][b]);
        for (int b = 0; b < 256; b++) {
            uint16_t u = (uint16_t)(units[2 * b] | (units[2 * b + 1] << 8));
            long want = reference[page][b];
            if (want >= 0)
                EXPECT_EQ(want, u) << page << " byte " << b;
            else if (b < 0xA0)
                EXPECT_EQ(b, u) << page << " byte " << b << ": the character of its own number";
            else // Windows gives it a character no defined byte has
                EXPECT_EQ(0u, defined.count(u)) << page << " byte " << b;
        }
        // And back, byte for byte.
        ASSERT_EQ(256u, Utf16leToAnsi(units, sizeof units, back, sizeof back)) << page;
        EXPECT_EQ(0, memcmp(all, back, 256)) << page;
    }
    ASSERT_TRUE(SelectCodePage(1255));
    unsigned char d9 = 0xD9, pua[2];
    AnsiToUtf16le(&d9, 1, pua, sizeof pua);
    EXPECT_EQ(0xF88D, pua[0] | (pua[1] << 8)) << "0xD9 of 1255, as Windows' table has it";
    SelectCodePage(1252);
}

// The offline registry answers a fixed sequence of calls exactly as the
// in-memory platform does, and what it answered is what the hive holds
// afterwards.
#include "offline_harness.h"

#include <gtest/gtest.h>

using namespace offline;

TEST(OfflineRegistry, AnswersLikeTheInMemoryPlatformAndPersistsWhatItAnswered)
{
    RunResult memory = RunProgram({TESSARIL_SEQUENCE_MEMORY});
    ASSERT_EQ(0, memory.exitCode) << memory.err;

    std::string windows = MakeSample(FreshFolder("sequence"));
    ASSERT_FALSE(windows.empty());
    std::string hive = windows + "/system32/config/system";
    unsigned s1, s2;
    SequenceNumbers(hive, &s1, &s2);
    RunResult offline = RunProgram({TESSARIL_SEQUENCE_OFFLINE}, windows.c_str());
    ASSERT_EQ(0, offline.exitCode) << offline.err;
    EXPECT_EQ(memory.out, offline.out);

    // The points the wizard relies on, so that both cannot be wrong alike.
    for (const char *line : {"create chain: 0 disposition 1\n",
                             "create again, other case: 0 disposition 2\n",
                             "close other again: 6\n", "open missing: 2\n",
                             "set on read-only: 5\n", "create below read-only: 5\n",
                             "query UpperFilters cap 512: 234 type 7 size 661 data \n",
                             "query Missing cap 16: 2 ",
                             "query NAME cap 64: 0 type 1 size 7 data 436166e9208000\n",
                             "query Name cap 6: 234 type 1 size 7 data \n",
                             "enum 0 cap 10: 234\n", "enum 0 cap 11: 0 Parameters len 10\n",
                             "enum 1 cap 100: 259\n", "close unknown: 6\n",
                             // Windows order: by upper case, so "X" < "[" < "_".
                             "enum 0 cap 100: 0 a len 1\nenum 1 cap 100: 0 B len 1\n"
                             "enum 2 cap 100: 0 kvtx len 4\nenum 3 cap 100: 0 KVT[ len 4\n"
                             "enum 4 cap 100: 0 kvt_2k len 6\nenum 5 cap 100: 0 _x len 2\n"
                             "enum 6 cap 100: 0 \xE9x len 2\nenum 7 cap 100: 0 \xCAx len 2\n"
                             "enum 8 cap 100: 259\n",
                             "open handles at the end: 0\n"})
        EXPECT_NE(std::string::npos, offline.out.find(line)) << line;

    // Written once, in UTF-16LE where the type is a string, below the
    // control set that Select\Current names.
    unsigned t1, t2;
    SequenceNumbers(hive, &t1, &t2);
    EXPECT_EQ(s1 + 1, t1);
    EXPECT_EQ(t1, t2);
    const std::string key = "ControlSet001\\Services\\Probe\\Parameters";
    int type = 0;
    std::string data;
    ASSERT_TRUE(HivexValue(hive, key, "UpperFilters", &type, &data));
    std::vector<std::string> entries;
    for (int i = 0; i < 30; i++) {
        char e[32];
        snprintf(e, sizeof e, "Entry%02d_abcdefghijklm", i);
        entries.push_back(e);
    }
    EXPECT_EQ(7, type);
    EXPECT_EQ(MultiUtf16(entries), data);
    ASSERT_TRUE(HivexValue(hive, key, "Name", &type, &data));
    EXPECT_EQ(2, type);
    EXPECT_EQ(Utf16("x"), data);
    ASSERT_TRUE(HivexValue(hive, key, "Raw", &type, &data));
    EXPECT_EQ(3, type);
    EXPECT_EQ(std::string("\xE9\x00\x80", 3), data);
    ASSERT_TRUE(HivexValue(hive, key, "Count", &type, &data));
    EXPECT_EQ(DwordBytes(7), data);
    ASSERT_TRUE(HivexValue(hive, key, "Empty", &type, &data));
    EXPECT_EQ(Utf16(""), data);
    EXPECT_EQ((std::vector<std::string>{"ControlSet001", "Select"}), HivexSubkeys(hive, ""));
    // Kept in the order Windows looks them up in, each with its own hash.
    EXPECT_EQ((std::vector<std::string>{"a", "B", "kvtx", "KVT[", "kvt_2k", "_x", "\xC3\xA9x", "\xC3\x8Ax"}),
              HivexSubkeys(hive, key));
    CellCensus census = CountCells(hive);
    EXPECT_TRUE(census.walked);
    EXPECT_EQ(0, census.badHints);
    // Beyond ASCII too, as the kernel computes them (hivex alone leaves
    // 0xFFFEAD90 and 0xFFFEA915, which the kernel's lookup misses).
    EXPECT_EQ(0x00001D65u, census.hashes["\xE9x"]);
    EXPECT_EQ(0x00001D8Au, census.hashes["\xCAx"]);
    EXPECT_EQ("DWORD,0x00000007", Reglookup(hive)["/ControlSet001/Services/Probe/Parameters/Count"]);
}

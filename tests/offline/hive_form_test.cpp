// The hive a run leaves, cell by cell: large values in the big-data form of
// format 1.4 on (and in one cell in 1.3), a value too large to store failing
// alone, the last-write times of the keys the run wrote, and subkey lists in
// the registry's order.
#include "offline_harness.h"

#include "platform/emulated/key_names.h"
#include "platform/offline/regf_big_data.h"
#include "platform/offline/regf_finish.h"
#include "testing/regf_walk.h"
#include "testing/regf_writer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <hivex.h>
#include <unistd.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <sstream>

using namespace offline;

namespace {

const std::string kClassRegPath = std::string("ControlSet001\\") + kClassKey;

std::string SystemHive(const std::string &windows) { return windows + "/system32/config/system"; }

// A 32-bit field of a file's bytes; 0 past its end.
uint32_t Field32(const std::string &d, size_t at) { return at + 4 <= d.size() ? Get32(d, at) : 0; }

// Every key of a hive by path, with its last-write time, as hivex reads it.
std::map<std::string, int64_t> KeyTimes(const std::string &hive)
{
    std::map<std::string, int64_t> out;
    hive_h *h = hivex_open(hive.c_str(), 0);
    if (h == NULL)
        return out;
    std::function<void(hive_node_h, const std::string &)> walk = [&](hive_node_h node,
                                                                    const std::string &path) {
        out[path] = hivex_node_timestamp(h, node);
        hive_node_h *kids = hivex_node_children(h, node);
        for (size_t i = 0; kids && kids[i]; i++) {
            char *name = hivex_node_name(h, kids[i]);
            walk(kids[i], path + "\\" + (name ? name : "?"));
            free(name);
        }
        free(kids);
    };
    walk(hivex_root(h), "");
    hivex_close(h);
    return out;
}

// A value as its cells hold it (values of more than 4 bytes): whether it is
// a big-data record, the sizes of the cells of its segments, and its data
// (the segments put together). hivex finds the cell, as a file offset.
struct RawValue {
    bool found = false;
    bool big = false;
    std::vector<size_t> segments;
    std::string data;
};

RawValue ReadRawValue(const std::string &hive, const std::string &keyPath, const std::string &name)
{
    RawValue v;
    hive_h *h = hivex_open(hive.c_str(), 0);
    if (h == NULL)
        return v;
    hive_node_h node = hivex_root(h);
    std::stringstream parts(keyPath);
    std::string part;
    while (node != 0 && std::getline(parts, part, '\\'))
        node = hivex_node_get_child(h, node, part.c_str());
    hive_value_h value = node ? hivex_node_get_value(h, node, name.c_str()) : 0;
    size_t length = 0;
    hive_value_h cell = value ? hivex_value_data_cell_offset(h, value, &length) : 0;
    hivex_close(h);
    std::string d = ReadFile(hive);
    if (cell == 0 || length < 4 || cell + 8 > d.size())
        return v;
    v.found = true;
    length -= 4;
    v.big = d.compare(cell + 4, 2, "db") == 0;
    if (!v.big) {
        v.data = d.substr(cell + 4, length);
        return v;
    }
    size_t segments = 0x1000 + (size_t)Field32(d, cell + 8);
    for (size_t s = 0; s < (Field32(d, cell + 4) >> 16); s++) {
        size_t segment = 0x1000 + (size_t)Field32(d, segments + 4 + 4 * s);
        v.segments.push_back((size_t) - (int32_t)Field32(d, segment));
        if (segment + 4 < d.size())
            v.data += d.substr(segment + 4, std::min<size_t>(16344, length - v.data.size()));
    }
    return v;
}

// How many allocated cells of a size the bins hold.
int AllocatedCells(const std::string &hive, uint32_t size)
{
    std::string d = ReadFile(hive);
    int count = 0;
    RegfWalkCells(d, [&](const RegfWalkedCell &cell) { count += cell.used && cell.size == size; });
    return count;
}

// The data of a value as regfexport prints it (a hex dump under its name).
std::string RegfexportValue(const std::string &hive, const std::string &name)
{
    RunResult r = RunProgram({"/usr/bin/regfexport", hive});
    std::string wanted = "Value: ";
    std::stringstream lines(r.out);
    std::string line, data;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (line.compare(0, wanted.size(), wanted) == 0) {
            size_t space = line.find(' ', wanted.size());
            inside = space != std::string::npos && line.substr(space + 1) == name;
            continue;
        }
        if (!inside || line.size() < 11 || line[8] != ':' ||
            line.find_first_not_of("0123456789abcdef") != 8)
            continue;
        for (size_t j = 0; j < 16; j++) {
            size_t at = 10 + 3 * j + (j >= 8 ? 1 : 0);
            if (at + 2 > line.size() || line[at] == ' ')
                break;
            data.push_back((char)strtoul(line.substr(at, 2).c_str(), NULL, 16));
        }
    }
    return data;
}

bool InRegistryOrder(const std::vector<std::string> &names)
{
    return std::is_sorted(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return CompareKeyNamesUtf8(a.data(), a.size(), b.data(), b.size()) < 0;
    });
}

std::vector<std::string> Filler(int count, size_t length)
{
    std::vector<std::string> names;
    for (int i = 1; i <= count; i++) {
        char name[32];
        snprintf(name, sizeof name, "SampleSvc%04d", i);
        std::string padded = name;
        if (padded.size() < length)
            padded.append(length - padded.size(), 'x');
        names.push_back(padded);
    }
    return names;
}

std::string Blob(size_t n)
{
    std::string blob(n, '\0');
    for (size_t i = 0; i < n; i++)
        blob[i] = (char)(i * 7 % 251);
    return blob;
}

// A filter list as the log shows it: entries joined by "|", cut after 259
// characters (260 when the 260th is a "|").
std::string Shown(const std::vector<std::string> &entries)
{
    std::string text;
    for (const std::string &e : entries)
        text += (text.empty() ? "" : "|") + e;
    if (text.size() >= 260)
        text.resize(text[259] == '|' ? 260 : 259);
    return text;
}

} // namespace

TEST(HiveForm, LargeValuesAreWrittenAsWindowsWritesThemInEachFormat)
{
    std::vector<std::string> upper = {"redbook", "imapi"};
    std::vector<std::string> filler = Filler(700, 0);
    upper.insert(upper.end(), filler.begin(), filler.end());
    upper.push_back("Gravle2k");
    upper.push_back("kvt_2k");
    const std::string blob = Blob(40000);
    for (const char *format : {"1.5", "1.3"}) {
        SCOPED_TRACE(format);
        bool segmented = strcmp(format, "1.5") == 0;
        std::string windows = MakeSample(FreshFolder(std::string("bigdata-") + format),
                                         {"--format", format, "--filler", "700", "--filter-filler",
                                          "700", "--class-blob", "40000", "--services", "kvtx"});
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        ASSERT_EQ(segmented, ReadRawValue(hive, kClassRegPath, "SampleBlob").big);

        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(0, r.exitCode);
        EXPECT_EQ("", r.err);

        // The merged list (over 16,344 bytes) and the blob the class key held,
        // which hivex wrote anew with the list.
        std::string list = MultiUtf16(upper);
        ASSERT_GT(list.size(), 16344u);
        struct {
            const char *name;
            const std::string &data;
        } values[] = {{"UpperFilters", list}, {"SampleBlob", blob}};
        for (const auto &want : values) {
            SCOPED_TRACE(want.name);
            RawValue raw = ReadRawValue(hive, kClassRegPath, want.name);
            ASSERT_TRUE(raw.found);
            EXPECT_EQ(segmented, raw.big);
            if (segmented) {
                EXPECT_EQ((want.data.size() + 16343) / 16344, raw.segments.size());
                for (size_t cell : raw.segments)
                    EXPECT_EQ(16352u, cell);
            }
            EXPECT_TRUE(raw.data == want.data);
            int type = 0;
            std::string data;
            ASSERT_TRUE(HivexValue(hive, kClassRegPath, want.name, &type, &data));
            EXPECT_TRUE(data == want.data);
            EXPECT_TRUE(RegfexportValue(hive, want.name) == want.data);
        }
        // No segment is left behind by the values hivex rewrote.
        if (segmented) {
            size_t segments = 0;
            for (const char *name : {"UpperFilters", "LowerFilters", "SampleBlob"})
                segments += ReadRawValue(hive, kClassRegPath, name).segments.size();
            EXPECT_EQ((int)segments, AllocatedCells(hive, 16352));
        }
        std::string joined;
        for (const std::string &e : upper)
            joined += (joined.empty() ? "" : "|") + e;
        EXPECT_EQ("MULTI_SZ," + joined,
                  Reglookup(hive)["/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}/UpperFilters"]);
        CellCensus census = CountCells(hive);
        EXPECT_TRUE(census.walked);
        EXPECT_EQ(0, census.badHints);
        // Over 507 services: an index of leaves, in the registry's order
        // across them ("KVTX" before "KVT_2K", where hivex puts it after).
        EXPECT_EQ(1, census.lists["ri"]);
        std::vector<std::string> services = HivexSubkeys(hive, "ControlSet001\\Services");
        auto at = std::find(services.begin(), services.end(), "kvtx");
        EXPECT_TRUE(at + 1 < services.end() && at[1] == "kvt_2k");
        EXPECT_TRUE(InRegistryOrder(services));
    }
}

TEST(HiveForm, AValueTooLargeToStoreFailsAloneAndTheRestOfTheRunIsSaved)
{
    // 2,463 registered filler entries of 202 characters: with Gravle2k the
    // list is 999,998 bytes stored, more than one cell holds; with kvt_2k or
    // Mbx7_xp instead it is 999,994 or 999,996 bytes, which fit.
    std::vector<std::string> filler = Filler(2463, 202);
    std::string windows = MakeSample(FreshFolder("oversized"),
                                     {"--filler", "2463", "--filter-filler", "2463",
                                      "--filler-length", "202", "--upper", "", "--lower", ""});
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    std::vector<std::string> withGravle = filler;
    withGravle.push_back("Gravle2k");
    ASSERT_EQ(999998u, MultiUtf16(withGravle).size());

    // Saved, with a driver not set up: status 4.
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(4, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_NE(std::string::npos, r.summary.find("tessaril: Gravle2k is not set up: its filter list could not be written\n"))
        << r.summary;
    std::string shown = Shown(filler);
    EXPECT_EQ(Entry("Operating System = Windows XP") +
                  Entry("Before create Gravle2k in UpperFilters values: " + shown) +
                  Entry("Fail - Cannot create Gravle2k in Filter") +
                  Entry("Before create kvt_2k in UpperFilters values: " + shown) +
                  Entry("After create kvt_2k in UpperFilters values: " + shown) +
                  Entry("Before create Mbx7_xp in LowerFilters values: " + shown) +
                  Entry("After create Mbx7_xp in LowerFilters values: " + shown),
              ReadFile(windows + "/Temp/Tessaril.log"));
    std::vector<std::string> upper = filler, lower = filler;
    upper.push_back("kvt_2k");
    lower.push_back("Mbx7_xp");
    RawValue raw = ReadRawValue(hive, kClassRegPath, "UpperFilters");
    EXPECT_TRUE(raw.big);
    EXPECT_TRUE(raw.data == MultiUtf16(upper));
    raw = ReadRawValue(hive, kClassRegPath, "LowerFilters");
    EXPECT_TRUE(raw.big);
    EXPECT_TRUE(raw.data == MultiUtf16(lower));
    for (const char *d : {"Gravle2k", "Gravle2k\\Parameters", "kvt_2k", "Mbx7_xp"})
        EXPECT_TRUE(HivexKeyExists(hive, std::string("ControlSet001\\Services\\") + d)) << d;

    // A value already on the class key that hivex could not write back:
    // every write to that key fails, the key stays whole (its big lists
    // before the blob too), the rest is saved.
    windows = MakeSample(FreshFolder("oversized-existing"),
                         {"--filter-filler", "700", "--filler", "700", "--class-blob", "999997"});
    ASSERT_FALSE(windows.empty());
    hive = SystemHive(windows);
    std::vector<std::string> before = {"redbook", "OldBurner", "imapi", "x?y", "ab"};
    filler = Filler(700, 0);
    before.insert(before.end(), filler.begin(), filler.end());
    r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(4, r.exitCode);
    std::string log = Entry("Operating System = Windows XP");
    for (const char *d : {"Gravle2k", "kvt_2k"})
        log += Entry("Before create " + std::string(d) + " in UpperFilters values: " + Shown(before)) +
               Entry("Fail - Cannot create " + std::string(d) + " in Filter");
    filler.insert(filler.begin(), {"PxHelp20", "StaleLow"});
    log += Entry("Before create Mbx7_xp in LowerFilters values: " + Shown(filler)) +
           Entry("Fail - Cannot create Mbx7_xp in Filter");
    EXPECT_EQ(log, ReadFile(windows + "/Temp/Tessaril.log"));
    int type = 0;
    std::string data;
    EXPECT_TRUE(HivexValue(hive, kClassRegPath, "UpperFilters", &type, &data) && data == MultiUtf16(before));
    EXPECT_TRUE(ReadRawValue(hive, kClassRegPath, "SampleBlob").data == Blob(999997));
    EXPECT_TRUE(HivexKeyExists(hive, "ControlSet001\\Services\\Mbx7_xp"));
}

TEST(HiveForm, KeysTheRunWritesGetItsTimeAndNoOtherKeyChanges)
{
    std::string windows = MakeSample(FreshFolder("times"));
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    std::map<std::string, int64_t> before = KeyTimes(hive);
    ASSERT_GT(before.size(), 300u);

    uint64_t start = FileTimeNow();
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    uint64_t end = FileTimeNow();
    EXPECT_EQ(0, r.exitCode);

    std::string header = ReadFile(hive);
    uint64_t stamp = Field32(header, 0x0C) | (uint64_t)Field32(header, 0x10) << 32;
    EXPECT_GE(stamp, start);
    EXPECT_LE(stamp, end);
    // Windows XP keeps it in the first bin too.
    EXPECT_EQ(stamp, Field32(header, 0x1014) | (uint64_t)Field32(header, 0x1018) << 32);
    // Keys created, the key they were created under, and keys whose values
    // were set: all with the one time of the run, as the header.
    const std::string cs = "\\ControlSet001";
    std::set<std::string> written = {cs + "\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}",
                                     cs + "\\Services",
                                     cs + "\\Services\\Gravle2k",
                                     cs + "\\Services\\Gravle2k\\Parameters",
                                     cs + "\\Services\\kvt_2k",
                                     cs + "\\Services\\Mbx7_xp"};
    std::map<std::string, int64_t> after = KeyTimes(hive);
    EXPECT_EQ(before.size() + 4, after.size());
    for (const auto &kv : after) {
        if (written.count(kv.first))
            EXPECT_EQ((int64_t)stamp, kv.second) << kv.first;
        else if (before.count(kv.first))
            EXPECT_EQ(before[kv.first], kv.second) << kv.first;
        else
            ADD_FAILURE() << "unexpected key " << kv.first;
    }
}

TEST(HiveForm, TheLastPassSortsASubkeyListAcrossTheLeavesOfItsIndex)
{
    // 600 subkeys: two hash leaves under an index. The first entry of the
    // first leaf and the last of the second change places, as a writer that
    // sorts otherwise than Windows could leave them.
    for (uint32_t minor : {5u, 3u}) {
        SCOPED_TRACE(minor);
        RegfKey root;
        RegfKey &parent = RegfSubkey(root, "Parent");
        for (int i = 0; i < 600; i++)
            RegfSubkey(parent, "Key" + std::to_string(1000 + i));
        std::string hive = FreshFolder("resort") + "/hive";
        int fd = open(hive.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::string error;
        ASSERT_TRUE(WriteRegfHive(fd, minor, "ROOT", root, &error)) << error;
        hive_h *h = hivex_open(hive.c_str(), 0);
        ASSERT_TRUE(h != NULL);
        uint32_t node = (uint32_t)hivex_node_get_child(h, hivex_root(h), "Parent");
        hivex_close(h);
        std::string d = ReadFile(hive);
        size_t ri = 0x1000 + Field32(d, node + 4 + 0x1C);
        ASSERT_EQ(0, d.compare(ri + 4, 2, "ri"));
        ASSERT_EQ(2u, Field32(d, ri + 4 + 2) & 0xFFFF);
        size_t first = 0x1000 + Field32(d, ri + 8) + 4 + 4;
        size_t second = 0x1000 + Field32(d, ri + 12) + 4;
        size_t last = second + 4 + 8 * ((Field32(d, second + 2) & 0xFFFF) - 1);
        std::string a = d.substr(first, 8), b = d.substr(last, 8);
        ASSERT_TRUE(WriteAllAt(fd, b.data(), 8, (off_t)first) && WriteAllAt(fd, a.data(), 8, (off_t)last));
        ASSERT_FALSE(InRegistryOrder(HivexSubkeys(hive, "Parent")));

        RegfFinish finish;
        finish.time = FileTimeNow();
        finish.grown = {node};
        EXPECT_EQ(kRegfOk, FinishCommittedHive(fd, finish));
        close(fd);
        std::vector<std::string> kids = HivexSubkeys(hive, "Parent");
        EXPECT_EQ(600u, kids.size());
        EXPECT_TRUE(InRegistryOrder(kids));
        CellCensus census = CountCells(hive);
        EXPECT_TRUE(census.walked);
        EXPECT_EQ(0, census.badHints);
    }
}

// What the last pass takes hivex to do, pinned on the hivex in use: a node
// handle is a key's file offset, a rewritten value's data is one cell, and
// the segments of its old big data stay in use and untouched. Where a hive
// breaks one of these, the pass refuses it and writes nothing.
TEST(HiveForm, TheLastPassChecksHowHivexLaidTheHiveOut)
{
    std::string folder = FreshFolder("hivex-layout");
    RegfKey root;
    RegfKey &key = RegfPath(root, "Key");
    key.values = {{"Big", 3, Blob(40000)}, {"Small", 3, Blob(100)}};
    std::string original = folder + "/original", written = folder + "/written";
    int fd = open(original.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string error;
    ASSERT_TRUE(WriteRegfHive(fd, 5, "ROOT", root, &error)) << error;

    hive_h *h = hivex_open(original.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_TRUE(h != NULL);
    hive_node_h node = hivex_node_get_child(h, hivex_root(h), "Key");
    hive_value_h big = hivex_node_get_value(h, node, "Big");
    RegfFinish finish;
    finish.time = FileTimeNow();
    ASSERT_TRUE(CollectBigDataCells(fd, (uint32_t)hivex_value_data_cell_offset(h, big, NULL), &finish.orphaned));
    close(fd);
    ASSERT_EQ(4u, finish.orphaned.size()); // the segment list, three segments
    std::string data = Blob(30000);
    hive_set_value value = {(char *)"Big", hive_t_REG_BINARY, data.size(), &data[0]};
    ASSERT_EQ(0, hivex_node_set_value(h, node, &value, 0));
    hive_node_h kid = hivex_node_add_child(h, node, "Kid");
    ASSERT_NE(0u, kid);
    ASSERT_EQ(0, hivex_commit(h, written.c_str(), 0));
    hivex_close(h);
    finish.stamped = {(uint32_t)node, (uint32_t)kid};
    finish.grown = finish.rewritten = {(uint32_t)node};

    h = hivex_open(written.c_str(), 0);
    ASSERT_TRUE(h != NULL);
    uint32_t vk = (uint32_t)hivex_node_get_value(h, node, "Big");
    uint32_t small = (uint32_t)hivex_value_data_cell_offset(h, hivex_node_get_value(h, node, "Small"), NULL);
    hivex_close(h);
    const std::string hivexWrote = ReadFile(written);
    struct Case {
        const char *what;
        std::function<void(std::string &, RegfFinish &)> change;
        RegfStatus expected;
    } cases[] = {
        {"as hivex wrote it", [](std::string &, RegfFinish &) {}, kRegfOk},
        {"an orphaned segment reused", [&](std::string &d, RegfFinish &) { d[finish.orphaned[1].cell + 4] ^= 1; },
         kRegfUnknownLayout},
        {"a node handle that is no key's offset",
         [](std::string &, RegfFinish &f) { f.stamped.push_back(f.stamped[0] + 8); }, kRegfUnknownLayout},
        {"big data written by hivex itself",
         [&](std::string &d, RegfFinish &) {
             d.replace(small + 4, 2, "db");
             Put32(d, vk + 4 + 8, small - 0x1000);
         },
         kRegfUnknownLayout},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string d = hivexWrote;
        RegfFinish what = finish;
        c.change(d, what);
        WriteFile(written, d);
        fd = open(written.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        long moved = 0;
        EXPECT_EQ(c.expected, FinishCommittedHive(fd, what, &moved));
        close(fd);
        EXPECT_EQ(c.expected == kRegfOk ? 1 : 0, moved);
        if (c.expected == kRegfUnknownLayout)
            EXPECT_TRUE(d == ReadFile(written)) << "the pass wrote to a hive it refused";
        else
            EXPECT_TRUE(KernelAccepts(written));
    }
}

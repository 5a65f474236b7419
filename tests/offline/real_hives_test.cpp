// Runs on SYSTEM hives that Windows XP, 7 and 8 wrote: a clean hive comes
// out with nothing changed but what the repair must change, key by key,
// value by value; an unclean or damaged one is refused and stays byte for
// byte. The hives are unpacked from their xz files at test time.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <hivex.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

using namespace offline;

namespace {

struct KeyState {
    std::vector<std::string> subkeys; // in the stored order
    std::vector<std::string> values;  // name, type and raw data, in the stored order
    int64_t stamp;
};

std::string ValueRecord(hive_h *h, hive_value_h v)
{
    char *name = hivex_value_key(h, v);
    hive_type t;
    size_t len = 0;
    char *data = hivex_value_value(h, v, &t, &len);
    std::string record = std::string(name ? name : "(unreadable)") + '\0' + std::to_string((int)t) + '\0' +
                         (data ? std::string(data, len) : "(unreadable)");
    free(name);
    free(data);
    return record;
}

// Every key of a hive by its path ("\"-separated, below the root).
std::map<std::string, KeyState> Keys(const std::string &hive)
{
    std::map<std::string, KeyState> keys;
    hive_h *h = hivex_open(hive.c_str(), 0);
    if (h == NULL) {
        ADD_FAILURE() << "hivex cannot open " << hive;
        return keys;
    }
    std::function<void(hive_node_h, const std::string &)> walk = [&](hive_node_h node, const std::string &path) {
        KeyState &k = keys[path];
        k.stamp = hivex_node_timestamp(h, node);
        hive_value_h *values = hivex_node_values(h, node);
        for (size_t i = 0; values && values[i]; i++)
            k.values.push_back(ValueRecord(h, values[i]));
        free(values);
        hive_node_h *kids = hivex_node_children(h, node);
        std::vector<std::pair<std::string, hive_node_h>> named;
        for (size_t i = 0; kids && kids[i]; i++) {
            char *name = hivex_node_name(h, kids[i]);
            named.push_back({name ? name : "(unreadable)", kids[i]});
            free(name);
        }
        free(kids);
        for (const auto &n : named)
            keys[path].subkeys.push_back(n.first);
        for (const auto &n : named)
            walk(n.second, path.empty() ? n.first : path + "\\" + n.first);
    };
    walk(hivex_root(h), "");
    hivex_close(h);
    return keys;
}

std::string Record(const std::string &name, int type, const std::string &data)
{
    return name + '\0' + std::to_string(type) + '\0' + data;
}

// The control set a run repairs: the one Select\Default names.
std::string DefaultSet(const std::map<std::string, KeyState> &keys)
{
    for (const std::string &v : keys.at("Select").values)
        if (v.compare(0, 8, std::string("Default") + '\0') == 0) {
            std::string data = v.substr(v.find('\0', 8) + 1);
            char name[32];
            snprintf(name, sizeof name, "ControlSet%03u", (unsigned char)data[0] | (unsigned char)data[1] << 8);
            return name;
        }
    return "";
}

// The path of the subkey of parent named name, spelt as the hive spells it
// (Windows 7 writes "services" in lower case).
std::string Below(const std::map<std::string, KeyState> &keys, const std::string &parent, const std::string &name)
{
    for (const std::string &s : keys.at(parent).subkeys)
        if (strcasecmp(s.c_str(), name.c_str()) == 0)
            return parent + "\\" + s;
    ADD_FAILURE() << parent << " has no subkey " << name;
    return parent + "\\" + name;
}

// stamp: the run's time, which every key it wrote must have.
void ExpectOnlyTheRepairChanged(const std::map<std::string, KeyState> &before,
                                const std::map<std::string, KeyState> &after, const std::string &set,
                                int64_t stamp)
{
    const std::string services = Below(before, set, "Services");
    const std::string classKey =
        Below(before, Below(before, Below(before, set, "Control"), "Class"), "{4D36E965-E325-11CE-BFC1-08002BE10318}");
    const std::vector<std::string> drivers = {"Gravle2k", "kvt_2k", "Mbx7_xp"};
    for (const std::string &d : drivers)
        ASSERT_EQ(0u, before.count(services + "\\" + d)) << "the hive already has " << d;
    // What the run must create.
    std::map<std::string, std::vector<std::string>> created = {
        {services + "\\Gravle2k",
         {Record("ErrorControl", 4, DwordBytes(0)), Record("Enabled", 4, DwordBytes(1)), Record("Tag", 4, DwordBytes(6)),
          Record("Type", 4, DwordBytes(1)), Record("Start", 4, DwordBytes(1)), Record("Group", 1, Utf16("Filter"))}},
        {services + "\\Gravle2k\\Parameters", {Record("ExcludeMiniports", 1, std::string(2, '\0'))}},
        {services + "\\kvt_2k",
         {Record("ErrorControl", 4, DwordBytes(0)), Record("Tag", 4, DwordBytes(6)), Record("Type", 4, DwordBytes(1)),
          Record("Start", 4, DwordBytes(1)), Record("Group", 1, Utf16("Filter"))}},
        {services + "\\Mbx7_xp",
         {Record("ErrorControl", 4, DwordBytes(1)), Record("Enabled", 4, DwordBytes(1)), Record("Tag", 4, DwordBytes(6)),
          Record("Type", 4, DwordBytes(1)), Record("Start", 4, DwordBytes(1)), Record("Group", 1, Utf16("Filter"))}},
    };
    for (const auto &kv : created) {
        auto it = after.find(kv.first);
        ASSERT_NE(after.end(), it) << kv.first;
        EXPECT_EQ(kv.second, it->second.values) << kv.first;
        EXPECT_EQ(stamp, it->second.stamp) << kv.first;
    }
    EXPECT_EQ(std::vector<std::string>{"Parameters"}, after.at(services + "\\Gravle2k").subkeys);
    EXPECT_EQ(before.size() + created.size(), after.size());

    for (const auto &kv : before) {
        const std::string &path = kv.first;
        auto it = after.find(path);
        ASSERT_NE(after.end(), it) << path << " is gone";
        const KeyState &was = kv.second, &now = it->second;
        bool touched = path == services || path == classKey;
        EXPECT_EQ(touched ? stamp : was.stamp, now.stamp) << path;
        if (path == services) {
            // The drivers' keys join the list; the others keep their order.
            std::vector<std::string> others;
            for (const std::string &s : now.subkeys)
                if (std::find(drivers.begin(), drivers.end(), s) == drivers.end())
                    others.push_back(s);
            EXPECT_EQ(was.subkeys, others) << path;
            EXPECT_EQ(was.subkeys.size() + 3, now.subkeys.size()) << path;
        } else {
            EXPECT_EQ(was.subkeys, now.subkeys) << path;
        }
        if (path == classKey) {
            // Neither hive has filter lists on the class key: the run adds
            // them, and every other value stays as it was, in its order.
            std::vector<std::string> expected = was.values;
            expected.push_back(Record("UpperFilters", 7, MultiUtf16({"Gravle2k", "kvt_2k"})));
            expected.push_back(Record("LowerFilters", 7, MultiUtf16({"Mbx7_xp"})));
            EXPECT_EQ(expected, now.values) << path;
        } else {
            EXPECT_EQ(was.values, now.values) << path;
        }
    }
}

} // namespace

TEST(OfflineRealHives, CleanHivesOfXpAnd7ChangeOnlyWhereTheRepairMust)
{
    for (const char *name : {"xp-sp3-system", "win7-sp1-system"}) {
        std::string why;
        std::string windows = RealHiveInstallation(name, &why);
        if (windows.empty())
            GTEST_SKIP() << why;
        std::string hive = windows + "/system32/config/system";
        std::string software = ReadFile(windows + "/system32/config/software");
        std::map<std::string, KeyState> before = Keys(hive);
        std::string set = DefaultSet(before);
        ASSERT_EQ("ControlSet001", set) << name;

        uint64_t start = FileTimeNow();
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        uint64_t end = FileTimeNow();
        EXPECT_EQ(0, r.exitCode) << name;
        EXPECT_EQ("", r.err) << name;
        // The header has the run's time, and the first bin too where the
        // hive keeps it there (XP; 7 leaves it 0).
        std::string bytes = ReadFile(hive);
        ASSERT_GT(bytes.size(), 0x1020u);
        uint64_t stamp = Get32(bytes, 0x0C) | (uint64_t)Get32(bytes, 0x10) << 32;
        EXPECT_LE(start, stamp) << name;
        EXPECT_GE(end, stamp) << name;
        uint64_t firstBin = Get32(bytes, 0x1014) | (uint64_t)Get32(bytes, 0x1018) << 32;
        EXPECT_EQ(strcmp(name, "xp-sp3-system") == 0 ? stamp : 0, firstBin) << name;
        EXPECT_EQ(Entry("Operating System = Windows XP") +
                      Entry("After create Gravle2k in UpperFilters values: Gravle2k") +
                      Entry("Before create kvt_2k in UpperFilters values: Gravle2k") +
                      Entry("After create kvt_2k in UpperFilters values: Gravle2k|kvt_2k") +
                      Entry("After create Mbx7_xp in LowerFilters values: Mbx7_xp"),
                  ReadFile(windows + "/Temp/Tessaril.log"))
            << name;
        ExpectOnlyTheRepairChanged(before, Keys(hive), set, (int64_t)stamp);
        EXPECT_EQ(software, ReadFile(windows + "/system32/config/software")) << name;
        for (const char *notice : kRealHiveNotices)
            EXPECT_NE("", ReadFile(windows + "/system32/config/" + notice)) << notice;
    }
}

TEST(OfflineRealHives, UncleanAndDamagedHivesAreRefusedByteForByte)
{
    struct Case {
        const char *name;
        const char *said;
    } cases[] = {
        {"win8-system-unclean", "tessaril: Windows did not shut down cleanly, so the SYSTEM hive "},
        {"damaged-system", "tessaril: the SYSTEM hive cannot be used: "},
    };
    for (const Case &c : cases) {
        std::string why;
        std::string windows = RealHiveInstallation(c.name, &why);
        if (windows.empty())
            GTEST_SKIP() << why;
        std::string config = windows + "/system32/config";
        std::string bytes = ReadFile(config + "/system");
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(2, r.exitCode) << c.name;
        EXPECT_EQ("", r.out) << c.name;
        EXPECT_EQ(0u, r.err.find(c.said)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("Nothing was changed.")) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find(".LOG")) << r.err;
        EXPECT_EQ(bytes, ReadFile(config + "/system")) << c.name;
        EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp")) << c.name;
    }

    // The log files Windows 7 and 8 leave beside an unclean hive: the one
    // with changes in it is named, the empty one is not.
    std::string why;
    std::string windows = RealHiveInstallation("win8-system-unclean", &why);
    std::string config = windows + "/system32/config";
    WriteFile(config + "/SYSTEM.LOG", "");
    WriteFile(config + "/SYSTEM.LOG1", std::string(512, 'L'));
    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos,
              r.err.find("lacks its latest changes (they are in SYSTEM.LOG1 beside it), and a repair "
                         "now would lose them. Start that Windows once and shut it down normally, or "
                         "replay the hive's log into it with a tool made for that, then run tessaril "
                         "again. Nothing was changed.\n"))
        << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("SYSTEM.LOG,")) << r.err;
}

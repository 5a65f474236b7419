// Hives damaged as Windows would refuse them, each made from a sample by
// changing a few bytes, are refused before any question and stay byte for
// byte, with what is wrong and where; what Windows loads (a wrong hash, a
// list out of order, the hives Windows itself wrote) is repaired.
#include "offline_harness.h"

#include "platform/offline/regf_format.h"

#include <gtest/gtest.h>

#include <hivex.h>

#include <functional>

using namespace offline;

namespace {

// The record of the cell at cell (an offset from the first bin), and back.
size_t Rec(uint32_t cell) { return kRegfBinsStart + cell + 4; }
uint32_t CellOf(size_t record) { return (uint32_t)(record - 4 - kRegfBinsStart); }

} // namespace

TEST(OfflineDamagedHives, RefusedBeforeAnyQuestionUnlessWindowsLoadsThem)
{
    std::string windows = MakeSample(FreshFolder("damaged"), {"--filler", "20", "--class-blob", "40000"});
    ASSERT_FALSE(windows.empty());
    const std::string hive = windows + "/system32/config/system", clean = ReadFile(hive);
    const size_t root = Rec(Get32(clean, regf_base::kRootCell)), services = FindCell(clean, "nk", "Services"),
                 svc = FindCell(clean, "nk", "SampleSvc0001"), upper = FindCell(clean, "vk", "UpperFilters"),
                 blob = FindCell(clean, "vk", "SampleBlob"),
                 classKey = FindCell(clean, "nk", "{4D36E965-E325-11CE-BFC1-08002BE10318}");
    ASSERT_TRUE(services != std::string::npos && svc != std::string::npos && upper != std::string::npos &&
                blob != std::string::npos && classKey != std::string::npos);
    const size_t rootList = Rec(Get32(clean, root + regf_nk::kSubkeyList));
    const size_t list = Rec(Get32(clean, services + regf_nk::kSubkeyList));
    const size_t sk = Rec(Get32(clean, root + regf_nk::kSecurity)), db = Rec(Get32(clean, blob + regf_vk::kData));
    ASSERT_EQ("lh", clean.substr(rootList, 2));
    ASSERT_EQ("lh", clean.substr(list, 2));
    ASSERT_EQ("db", clean.substr(db, 2));
    const uint32_t outside = 0x7FFFFFF0u;
    const std::string classPath = "key \\ControlSet001\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}";
    // A chain of keys nested deeper than Windows allows, made by hivex.
    // d changed by hivex at the key SampleSvc0001 (change returns false on a failure).
    auto atService = [&](std::string &d, const std::function<bool(hive_h *, hive_node_h)> &change) {
        WriteFile(hive, d);
        hive_h *h = hivex_open(hive.c_str(), HIVEX_OPEN_WRITE);
        ASSERT_NE(nullptr, h);
        hive_node_h node = hivex_root(h);
        for (const char *name : {"ControlSet001", "Services", "SampleSvc0001"})
            node = hivex_node_get_child(h, node, name);
        ASSERT_NE(0u, node);
        EXPECT_TRUE(change(h, node));
        ASSERT_EQ(0, hivex_commit(h, NULL, 0));
        hivex_close(h);
        d = ReadFile(hive);
    };
    auto deep = [&](std::string &d) {
        atService(d, [](hive_h *h, hive_node_h node) {
            for (int i = 0; i < 510 && node != 0; i++)
                node = hivex_node_add_child(h, node, "Level");
            return node != 0;
        });
    };

    // Value lists shared by many keys, each a million bytes of entries that
    // all name one value: more list entries than the check reads.
    auto shared = [&](std::string &d) {
        atService(d, [&](hive_h *h, hive_node_h node) {
            std::string entries;
            for (int i = 0; i < 249000; i++)
                entries += DwordBytes(CellOf(upper));
            hive_set_value many = {(char *)"Many", hive_t_REG_BINARY, entries.size(), &entries[0]};
            return hivex_node_set_value(h, node, &many, 0) == 0;
        });
        uint32_t list = Get32(d, FindCell(d, "vk", "Many") + regf_vk::kData);
        for (int i = 2; i <= 20; i++) {
            size_t key = FindCell(d, "nk", "SampleSvc00" + std::string(i < 10 ? "0" : "") + std::to_string(i));
            ASSERT_NE(std::string::npos, key);
            Put32(d, key + regf_nk::kValueCount, 249000);
            Put32(d, key + regf_nk::kValueList, list);
        }
    };

    struct Row {
        const char *kind;
        std::function<void(std::string &)> damage;
        std::string said;             // what the refusal says after "is damaged: "; empty: repaired
        bool kernelRefuses = true;    // the kernel's checks refuse it too (damage, not a cost)
    } rows[] = {
        {"bin offset", [&](std::string &d) { Put32(d, kRegfBinsStart + regf_bin::kOffset, 0x1000); },
         "the block of cells at offset 0x1000 is not a valid one"},
        {"cell size", [&](std::string &d) { Put32(d, upper - 4, 0x7FFFFFF8); },
         " has a size that does not fit its block"},
        {"subkey list outside the bins",
         [&](std::string &d) { Put32(d, services + regf_nk::kSubkeyList, outside); },
         "the subkey list of key \\ControlSet001\\Services lies at no cell in use (offset 0x80000ff0"},
        {"subkey list of the wrong kind",
         [&](std::string &d) { Put32(d, services + regf_nk::kSubkeyList, CellOf(upper)); },
         "the cell of the subkey list of key \\ControlSet001\\Services, at offset 0x"},
        {"subkey list count past its cell", [&](std::string &d) { Put16(d, list + regf_list::kCount, 4000); },
         "the subkey list of key \\ControlSet001\\Services is longer than its cell: it needs 32004 bytes"},
        {"subkey count",
         [&](std::string &d) {
             Put32(d, services + regf_nk::kSubkeyCount, Get32(d, services + regf_nk::kSubkeyCount) + 1);
         },
         "key \\ControlSet001\\Services says it has "},
        {"loop", [&](std::string &d) {
             Put32(d, svc + regf_nk::kSubkeyCount, Get32(d, root + regf_nk::kSubkeyCount));
             Put32(d, svc + regf_nk::kSubkeyList, Get32(d, root + regf_nk::kSubkeyList));
         },
         "key \\ControlSet001\\Services\\SampleSvc0001\\ControlSet001 is key \\ControlSet001 listed again below "
         "itself: the keys form a loop"},
        {"key in a list twice", [&](std::string &d) { Put32(d, list + 12, Get32(d, list + 4)); },
         " is listed twice (in two subkey lists, or twice in one)"},
        {"parent", [&](std::string &d) { Put32(d, services + regf_nk::kParent, CellOf(root)); },
         "key \\ControlSet001\\Services is listed under a key that its record does not name as its parent"},
        {"empty key name", [&](std::string &d) { Put16(d, svc + regf_nk::kNameLength, 0); },
         " of key \\ControlSet001\\Services has an empty name or is larger than a key can be"},
        // Windows keeps such a name, but hivex cannot read it.
        {"name hivex cannot read",
         [&](std::string &d) { Put16(d, svc + regf_nk::kFlags, Get16(d, svc + regf_nk::kFlags) & ~regf_nk::kFlagCompressed); },
         " of key \\ControlSet001\\Services has a name that tessaril's hive reader cannot read", false},
        {"too deep", deep, "\\Level\\... lies more than 510 levels below the root, deeper than Windows allows"},
        {"value list outside the bins", [&](std::string &d) { Put32(d, classKey + regf_nk::kValueList, outside); },
         "the value list of " + classPath + " lies at no cell in use"},
        {"value count past its cell", [&](std::string &d) { Put32(d, classKey + regf_nk::kValueCount, 100); },
         "the value list of " + classPath + " is longer than its cell: it needs 400 bytes"},
        {"data past its cell", [&](std::string &d) { Put32(d, upper + regf_vk::kDataLength, 4000); },
         "the data of value \"UpperFilters\" of " + classPath + " is longer than its cell: it needs 4000 bytes"},
        {"inline data over 4 bytes", [&](std::string &d) { Put32(d, upper + regf_vk::kDataLength, 0x80000008); },
         "value \"UpperFilters\" of " + classPath + " says that its data, kept in its record, is longer"},
        {"empty data with a cell", [&](std::string &d) { Put32(d, upper + regf_vk::kDataLength, 0); },
         "value \"UpperFilters\" of " + classPath + " has no data but points to a data cell"},
        {"big data in too few parts", [&](std::string &d) { Put16(d, db + regf_db::kCount, 2); },
         "the data of value \"SampleBlob\" of " + classPath + " is cut into fewer parts (2) than its length "
         "needs (3)"},
        // hivex 1.3.23 reads as many entries of the list as the record says.
        {"big data part list shorter than its count", [&](std::string &d) { Put16(d, db + regf_db::kCount, 4); },
         "the list of the parts of the data of value \"SampleBlob\" of " + classPath +
             " is longer than its cell: it needs 16 bytes"},
        {"big data part outside the bins",
         [&](std::string &d) { Put32(d, Rec(Get32(d, db + regf_db::kList)) + 4, outside); },
         "part #2 of the data of value \"SampleBlob\" of " + classPath + " lies at no cell in use"},
        {"security descriptor", [&](std::string &d) { d[sk + regf_sk::kDescriptor] = 2; },
         "the security descriptor of the root key, at offset 0x"},
        {"security chain", [&](std::string &d) { Put32(d, sk + regf_sk::kPrevious, CellOf(root)); },
         "the hive's chain of security descriptors is broken at offset 0x"},
        {"list entries past the cap", shared,
         "its lists hold more than 4000000 entries in all, more than tessaril reads of a SYSTEM hive", false},
        // What Windows loads, in a list the run does not write.
        {"hash only", [&](std::string &d) { d[rootList + 8] ^= 1; }, ""},
        {"order only",
         [&](std::string &d) {
             d.replace(rootList + 4, 16, clean.substr(rootList + 12, 8) + clean.substr(rootList + 4, 8));
         },
         ""},
    };
    for (Row &row : rows) {
        std::string d = clean;
        row.damage(d);
        ASSERT_NE(clean, d) << row.kind;
        WriteFile(hive, d);
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        if (row.said.empty()) {
            EXPECT_EQ(0, r.exitCode) << row.kind << ": " << r.err;
            size_t length = 4 + 8 * (size_t)Get16(d, rootList + regf_list::kCount);
            EXPECT_EQ(d.substr(rootList, length), ReadFile(hive).substr(rootList, length))
                << row.kind << ": the list was rewritten";
            continue;
        }
        EXPECT_EQ(2, r.exitCode) << row.kind;
        EXPECT_EQ("", r.out) << row.kind;
        EXPECT_NE(std::string::npos, r.err.find(" is damaged: ")) << row.kind << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find(row.said)) << row.kind << ": " << r.err;
        EXPECT_EQ(d, ReadFile(hive)) << row.kind;
        EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp")) << row.kind;
        if (TESSARIL_CMCHECK[0] != '\0' && row.kernelRefuses) {
            EXPECT_FALSE(KernelAccepts(hive)) << row.kind << ": the kernel's checks take it";
        }
    }

    // The hives Windows wrote, and booted from.
    for (const char *name : {"xp-sp3-system", "win7-sp1-system"}) {
        std::string why, real = RealHiveInstallation(name, &why);
        if (real.empty())
            GTEST_SKIP() << why;
        RunResult r = RunTessaril(real.c_str(), "y\nn\n");
        EXPECT_EQ(0, r.exitCode) << name << ": " << r.err;
    }
}

// Installations nobody should trust: links that lead out of the installation,
// a hive far too large, values and names that lie, keys nested hundreds
// deep, Select values that name nothing. Each ends with a clear message
// or the wizard's own failure path, nothing outside the installation is
// touched, and what the run does not repair stays byte for byte.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>

using namespace offline;

namespace {

const std::string kClassPath = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";

std::string SystemHive(const std::string &windows) { return windows + "/system32/config/system"; }

// Everything below a folder, links not followed: path -> kind and content
// (the bytes of a file, the target of a link).
std::map<std::string, std::string> Tree(const std::string &folder)
{
    std::map<std::string, std::string> out;
    std::function<void(const std::string &, const std::string &)> walk =
        [&](const std::string &path, const std::string &rel) {
            DIR *d = opendir(path.c_str());
            for (struct dirent *e = d ? readdir(d) : NULL; e; e = readdir(d)) {
                std::string name = e->d_name;
                if (name == "." || name == "..")
                    continue;
                std::string full = path + "/" + name, key = rel + "/" + name;
                struct stat st;
                if (lstat(full.c_str(), &st) != 0)
                    continue;
                if (S_ISLNK(st.st_mode)) {
                    char target[4096];
                    ssize_t n = readlink(full.c_str(), target, sizeof target);
                    out[key] = "link:" + std::string(target, n > 0 ? (size_t)n : 0);
                } else if (S_ISDIR(st.st_mode)) {
                    out[key] = "folder";
                    walk(full, key);
                } else {
                    out[key] = "file:" + ReadFile(full);
                }
            }
            if (d)
                closedir(d);
        };
    walk(folder, "");
    return out;
}

void Copy(const std::string &from, const std::string &to)
{
    ASSERT_EQ(0, system(("cp -a '" + from + "' '" + to + "'").c_str()));
}

// Changes a hive with hivex itself, as another tool would have.
bool EditHive(const std::string &hive, const std::function<bool(hive_h *)> &edit)
{
    hive_h *h = hivex_open(hive.c_str(), HIVEX_OPEN_WRITE);
    if (h == NULL)
        return false;
    bool ok = edit(h) && hivex_commit(h, NULL, 0) == 0;
    hivex_close(h);
    return ok;
}

hive_node_h Node(hive_h *h, const std::string &path)
{
    hive_node_h node = hivex_root(h);
    size_t start = 0;
    while (node != 0 && start <= path.size()) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        node = hivex_node_get_child(h, node, part.c_str());
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return node;
}

bool SetRaw(hive_h *h, const std::string &key, const std::string &name, int type, const std::string &data)
{
    hive_node_h node = Node(h, key);
    hive_set_value v;
    std::string k = name, d = data;
    v.key = &k[0];
    v.t = (hive_type)type;
    v.len = d.size();
    v.value = &d[0];
    return node != 0 && hivex_node_set_value(h, node, &v, 0) == 0;
}

const std::string kRepairedUpper = "MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k";

} // namespace

TEST(OfflineHostile, LinksOutOfTheInstallationAreNeverFollowed)
{
    struct Case {
        const char *name;
        const char *link;   // below the Windows directory
        const char *target; // what the outside folder holds, linked to
        int exitCode;
        const char *said;   // on standard error
        bool repaired;
    } cases[] = {
        {"log", "Temp/Tessaril.log", "precious.txt", 0, "", true},
        {"temp", "Temp", "", 0, "Temp is a symbolic link, which tessaril does not follow, so this run keeps no log", true},
        {"system", "system32/config/system", "system", 2, "system is a symbolic link, which tessaril does not follow", false},
        {"software", "system32/config/software", "software", 2, "software is a symbolic link", false},
        {"config", "system32/config", "", 2, "a folder on the way to", false},
        {"system32", "system32", "", 2, "a folder on the way to", false},
        {"drivers", "system32/drivers", "", 4, "", false},
    };
    for (const Case &c : cases) {
        std::string folder = FreshFolder(std::string("link-") + c.name);
        std::string windows = MakeSample(folder);
        ASSERT_FALSE(windows.empty());
        // The outside folder holds what the link replaces, so that a tool
        // that followed it would find something to change there.
        std::string outside = folder + "/outside";
        ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
        std::string moved = windows + "/" + c.link;
        if (std::string(c.target) == "precious.txt") {
            WriteFile(outside + "/precious.txt", "not a log");
        } else if (c.target[0] != '\0') {
            Copy(moved, outside + "/" + c.target);
            ASSERT_EQ(0, unlink(moved.c_str()));
        } else {
            ASSERT_EQ(0, rename(moved.c_str(), (outside + "/moved").c_str()));
        }
        std::string target = outside + "/" + (c.target[0] ? c.target : "moved");
        ASSERT_EQ(0, symlink(target.c_str(), moved.c_str()));
        std::map<std::string, std::string> outsideBefore = Tree(outside);
        std::map<std::string, std::string> insideBefore = Tree(windows);

        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(c.exitCode, r.exitCode) << c.name << ": " << r.err;
        if (c.said[0] == '\0')
            EXPECT_EQ("", r.err) << c.name;
        else
            EXPECT_NE(std::string::npos, r.err.find(c.said)) << c.name << ": " << r.err;
        EXPECT_EQ(outsideBefore, Tree(outside)) << c.name;

        std::map<std::string, std::string> inside = Tree(windows);
        if (c.repaired) {
            EXPECT_EQ(kRepairedUpper, Reglookup(SystemHive(windows))[kClassPath + "/UpperFilters"]) << c.name;
        } else {
            // Nothing in the installation was changed but the log.
            inside.erase("/Temp/Tessaril.log");
            insideBefore.erase("/Temp/Tessaril.log");
            EXPECT_EQ(insideBefore, inside) << c.name;
        }
        if (std::string(c.name) == "log") {
            // The old log was the link: the run deleted it, as it deletes any
            // old log, and wrote a log of its own in its place.
            EXPECT_EQ(0u, inside["/Temp/Tessaril.log"].find("file:Operating System = Windows XP\r\n"));
        }
        if (std::string(c.name) == "drivers") {
            EXPECT_EQ(Entry("Operating System = Windows XP") + Entry("Fail - Missing Gravle2k") +
                          Entry("Fail - Missing kvt_2k") + Entry("Fail - Missing Mbx7_xp"),
                      ReadFile(windows + "/Temp/Tessaril.log"));
        }
        if (std::string(c.name) == "software") {
            EXPECT_EQ("", r.out + r.summary);
            EXPECT_EQ("tessaril: warning: the SOFTWARE hive cannot be read (" + windows +
                          "/system32/config/software is a symbolic link, which tessaril does not "
                          "follow, so that it never writes outside the installation), so the "
                          "Windows version is unknown.\ntessaril: the installation at " +
                          windows + " names no Windows version that can be read (in the SOFTWARE "
                          "hive), and tessaril repairs only Windows 2000 and XP. Nothing was changed.\n",
                      r.err);
        }
    }
}

TEST(OfflineHostile, HiveFarLargerThanAHiveCanBeIsRefusedUnread)
{
    for (const char *which : {"system", "software"}) {
        std::string windows = MakeSample(FreshFolder(std::string("huge-") + which));
        ASSERT_FALSE(windows.empty());
        std::string hive = windows + "/system32/config/" + which;
        std::string start = ReadFile(hive);
        // A real hive at its start, then holes up to 3 GiB.
        ASSERT_EQ(0, truncate(hive.c_str(), (off_t)3 << 30));
        struct stat before;
        ASSERT_EQ(0, stat(hive.c_str(), &before));
        std::string systemBytes = std::string(which) == "software" ? ReadFile(SystemHive(windows)) : "";

        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        bool isSystem = std::string(which) == "system";
        EXPECT_NE(std::string::npos,
                  r.err.find(std::string("is 3221225472 bytes, far larger than a ") +
                             (isSystem ? "SYSTEM" : "SOFTWARE") + " hive can be"))
            << r.err;
        if (isSystem) {
            EXPECT_EQ(2, r.exitCode);
            EXPECT_EQ("", r.out);
            EXPECT_NE(std::string::npos, r.err.find("Nothing was changed")) << r.err;
        } else {
            // Without its SOFTWARE hive the system is not known: refused.
            EXPECT_EQ(2, r.exitCode);
            EXPECT_EQ("", r.out + r.summary);
            EXPECT_NE(std::string::npos, r.err.find("names no Windows version that can be read")) << r.err;
            EXPECT_EQ(systemBytes, ReadFile(SystemHive(windows)));
        }
        // The same bytes: the same size and time, the start as it was, and
        // no data anywhere after it.
        struct stat after;
        ASSERT_EQ(0, stat(hive.c_str(), &after));
        EXPECT_EQ(before.st_size, after.st_size);
        EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
        EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
        int fd = open(hive.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string head(start.size(), '\0');
        EXPECT_EQ((ssize_t)head.size(), pread(fd, &head[0], head.size(), 0));
        EXPECT_EQ(start, head);
        off_t data = lseek(fd, (off_t)start.size(), SEEK_DATA);
        if (data >= 0) {
            // Some file systems report holes as data: read what is there.
            std::string tail(1 << 20, 'x');
            EXPECT_EQ((ssize_t)tail.size(), pread(fd, &tail[0], tail.size(), (off_t)3 << 29));
            EXPECT_EQ(std::string(1 << 20, '\0'), tail);
        }
        close(fd);
        ASSERT_EQ(0, unlink(hive.c_str()));
    }
}

TEST(OfflineHostile, ValueClaimingAnAbsurdLengthLosesNothing)
{
    struct Case {
        const char *name;
        uint32_t length; // stored as the UpperFilters value's data length
        const char *said;
    } cases[] = {
        {"2 GiB", 0x7FFFFFF0u, "is longer than its cell: it needs 2147483632 bytes"},
        {"16 MiB", 0x01000000u, "is longer than its cell: it needs 16777216 bytes"},
        {"64 KiB", 0x00010000u, "is longer than its cell: it needs 65536 bytes"},
        {"inline", 0x80000100u, "says that its data, kept in its record, is longer than the 4 bytes there"},
    };
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("absurd"));
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        std::string d = ReadFile(hive);
        size_t vk = FindCell(d, "vk", "UpperFilters");
        ASSERT_NE(std::string::npos, vk);
        Put32(d, vk + 4, c.length);
        WriteFile(hive, d);

        // The value cannot be read, so the hive is refused before any
        // question: it stays as it was, and the run says why.
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(d, ReadFile(hive)) << c.name;
        EXPECT_EQ(2, r.exitCode) << c.name;
        EXPECT_EQ("", r.out) << c.name;
        EXPECT_NE(std::string::npos, r.err.find("value \"UpperFilters\" of key \\ControlSet001\\Control\\Class\\"))
            << c.name << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.said)) << c.name << ": " << r.err;
        EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"))
            << c.name;
        EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp")) << c.name;
    }
}

TEST(OfflineHostile, KeysNestedAsDeepAsWindowsAllowsAreKeptThroughARepair)
{
    // A Windows 2000 hive, so that the rewrite of its subkey lists walks the
    // whole tree, the deep chain included: 500 levels below DeepSvc, which is
    // 3 below the root, near the most Windows allows.
    const int depth = 500;
    std::string windows =
        MakeSample(FreshFolder("deep"), {"--version", "5.0", "--upper", "redbook|DeepSvc|imapi", "--services", "DeepSvc"});
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    ASSERT_TRUE(EditHive(hive, [&](hive_h *h) {
        hive_node_h node = Node(h, "ControlSet001\\Services\\DeepSvc");
        for (int i = 0; i < depth && node != 0; i++)
            node = hivex_node_add_child(h, node, "Level");
        return node != 0;
    }));

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    int type = 0;
    std::string data;
    ASSERT_TRUE(HivexValue(hive, std::string("ControlSet001\\") + kClassKey, "UpperFilters", &type, &data));
    EXPECT_EQ(MultiUtf16({"redbook", "DeepSvc", "imapi", "Gravle2k", "kvt_2k"}), data);
    hive_h *h = hivex_open(hive.c_str(), 0);
    ASSERT_NE(nullptr, h);
    hive_node_h node = Node(h, "ControlSet001\\Services\\DeepSvc");
    int levels = 0;
    while (node != 0 && (node = hivex_node_get_child(h, node, "Level")) != 0)
        levels++;
    hivex_close(h);
    EXPECT_EQ(depth, levels);
    CellCensus cells = CountCells(hive);
    EXPECT_TRUE(cells.walked);
    EXPECT_EQ(0, cells.lists["lh"]);
    EXPECT_EQ(0, cells.badHints);
}

TEST(OfflineHostile, NamesWithBytesOutsideTheCodePage)
{
    // A service key whose name, stored as UTF-16, holds a lone surrogate:
    // hivex cannot read the name, so the hive is refused before any
    // question, left as it was, with the reason.
    {
        std::string windows = MakeSample(FreshFolder("badname-utf16"));
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        std::string d = ReadFile(hive);
        size_t nk = FindCell(d, "nk", "SampleSvc0150");
        ASSERT_NE(std::string::npos, nk);
        d[nk + 2] = (char)(d[nk + 2] & ~0x20);
        d[nk + 0x48] = 12;
        d.replace(nk + 0x4C, 12, std::string("S\0v\0c\0\x00\xD8" "5\0" "0\0", 12));
        WriteFile(hive, d);
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find(" of key \\ControlSet001\\Services has a name that tessaril's hive "
                                                "reader cannot read")) << r.err;
        EXPECT_EQ(d, ReadFile(hive));
    }

    // A value beside the lists whose name is a lone surrogate: hivex rewrites
    // every value of a key to change one, and cannot read this one. Refused
    // before any question, left as it was, with the reason.
    {
        std::string windows = MakeSample(FreshFolder("badname-value"));
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        ASSERT_TRUE(EditHive(hive, [&](hive_h *h) {
            return SetRaw(h, std::string("ControlSet001\\") + kClassKey, "OddName1", 1, Utf16("odd"));
        }));
        std::string d = ReadFile(hive);
        size_t vk = FindCell(d, "vk", "OddName1");
        ASSERT_NE(std::string::npos, vk);
        d[vk + 0x10] = (char)(d[vk + 0x10] & ~1);
        d.replace(vk + 0x14, 8, std::string("O\0d\0\x00\xD8" "1\0", 8));
        WriteFile(hive, d);
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find("has a name that tessaril's hive reader cannot read")) << r.err;
        EXPECT_EQ(d, ReadFile(hive));
    }

    // A key name in the one-byte form with the bytes Windows-1252 leaves
    // undefined, and a filter entry with a lone surrogate: the repair goes
    // through, the odd entry is dropped as "?" and the odd key is kept as it
    // is stored.
    std::string windows = MakeSample(FreshFolder("badname-bytes"), {"--upper", "redbook|SampleSvc0151|imapi"});
    ASSERT_FALSE(windows.empty());
    std::string hive = SystemHive(windows);
    const std::string oddKey = "Sample\x81\x8D\x8F\x90\x9D\xFF" "1";
    ASSERT_TRUE(EditHive(hive, [&](hive_h *h) {
        std::string lower = std::string("\x00\xDC" "a\0b\0c\0\0\0", 10) + MultiUtf16({"PxHelp20"});
        return SetRaw(h, std::string("ControlSet001\\") + kClassKey, "LowerFilters", 7, lower);
    }));
    std::string d = ReadFile(hive);
    size_t nk = FindCell(d, "nk", "SampleSvc0151");
    ASSERT_NE(std::string::npos, nk);
    d.replace(nk + 0x4C, 13, oddKey);
    WriteFile(hive, d);

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
    std::string log = ReadFile(windows + "/Temp/Tessaril.log");
    EXPECT_NE(std::string::npos, log.find(Entry("After create Gravle2k in UpperFilters values: redbook|imapi|Gravle2k")))
        << log;
    EXPECT_NE(std::string::npos, log.find(Entry("Before create Mbx7_xp in LowerFilters values: ?abc|PxHelp20")))
        << log;
    EXPECT_EQ("MULTI_SZ,PxHelp20|Mbx7_xp", Reglookup(hive)[kClassPath + "/LowerFilters"]);
    EXPECT_NE(std::string::npos, FindCell(ReadFile(hive), "nk", oddKey));
}

TEST(OfflineHostile, SelectNamingNoControlSetIsRefusedUntouched)
{
    struct Case {
        const char *name;
        int type;
        std::string data;
    } cases[] = {
        {"missing set", 4, DwordBytes(7)},
        {"all ones", 4, DwordBytes(0xFFFFFFFFu)},
        {"as text", 1, Utf16("1")},
        {"eight bytes", 4, DwordBytes(1) + DwordBytes(0)},
        {"two bytes", 4, std::string("\x01\x00", 2)},
        {"binary", 3, DwordBytes(1)},
    };
    for (const Case &c : cases) {
        std::string windows = MakeSample(FreshFolder("select"));
        ASSERT_FALSE(windows.empty());
        std::string hive = SystemHive(windows);
        ASSERT_TRUE(EditHive(hive, [&](hive_h *h) {
            return SetRaw(h, "Select", "Current", c.type, c.data) &&
                   SetRaw(h, "Select", "Default", c.type, c.data);
        })) << c.name;
        std::string bytes = ReadFile(hive);
        RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
        EXPECT_EQ(2, r.exitCode) << c.name;
        EXPECT_EQ("", r.out) << c.name;
        EXPECT_NE(std::string::npos, r.err.find("names no control set that it holds: neither its "
                                                "Select\\Default nor its Select\\Current value"))
            << c.name << ": " << r.err;
        EXPECT_EQ(bytes, ReadFile(hive)) << c.name;
        EXPECT_EQ(std::set<std::string>{}, [&] {
            std::set<std::string> n;
            for (const auto &kv : Tree(windows + "/Temp"))
                n.insert(kv.first);
            return n;
        }()) << c.name;
    }
}

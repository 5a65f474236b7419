// Installations on file systems that refuse the new hive: a disk too full to
// hold it, and a folder the user running tessaril cannot write. The hive
// stays byte for byte, nothing is left beside it, and the run says why.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <set>

using namespace offline;

namespace {

const std::string kClassPath = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";

unsigned long long FreeBytes(const std::string &path)
{
    struct statvfs vfs;
    if (statvfs(path.c_str(), &vfs) != 0)
        return 0;
    return (unsigned long long)vfs.f_bavail * vfs.f_frsize;
}

// Unmounts the folder when the test ends, however it ends.
struct Mounted {
    std::string path;
    ~Mounted()
    {
        if (!path.empty() && umount2(path.c_str(), MNT_DETACH) != 0)
            ADD_FAILURE() << "cannot unmount " << path << ": " << strerror(errno);
    }
};

} // namespace

// The disk is a 1 MiB tmpfs mounted here or, when TESSARIL_TEST_FILL_WORK is
// set, the volume that holds the work folder, which then serves this test
// alone.
TEST(OfflineFileSystem, FullDiskLeavesTheHiveAsItWas)
{
    bool mountHere = getenv("TESSARIL_TEST_FILL_WORK") == NULL;
    if (mountHere && geteuid() == 0) // a disk a killed earlier run left mounted
        umount2(WorkPath("full-disk").c_str(), MNT_DETACH);
    std::string folder = FreshFolder("full-disk");
    ASSERT_FALSE(folder.empty());
    Mounted disk;
    if (mountHere) {
        if (geteuid() != 0)
            GTEST_SKIP() << "a small tmpfs for the full disk can only be mounted by root";
        if (mount("tessaril-full", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs for the full disk here: " << strerror(errno);
        disk.path = folder;
    }

    std::string windows = MakeSample(folder);
    ASSERT_FALSE(windows.empty());
    std::string hive = windows + "/system32/config/system";
    std::string original = ReadFile(hive);
    // Fill the disk until half a hive is left: room for the log, none for
    // the new hive.
    unsigned long long room = FreeBytes(folder);
    ASSERT_GT(room, original.size());
    WriteFile(folder + "/filler", std::string(room - original.size() / 2, 'f'));
    unsigned long long left = FreeBytes(folder);
    ASSERT_LT(left, original.size());

    RunResult r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(ConfirmBox({"y"}), r.out);
    EXPECT_NE(std::string::npos,
              r.err.find("system32/config/system was not changed: tessaril wrote the changed hive into a new "
                         "file beside it, and writing it failed because the disk is full"))
        << r.err;
    EXPECT_EQ(original, ReadFile(hive));
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));
    EXPECT_EQ((std::set<std::string>{"Tessaril.log"}), FolderNames(windows + "/Temp"));
    EXPECT_EQ(0u, ReadFile(windows + "/Temp/Tessaril.log").find("Operating System = Windows XP\r\n"));

    // With room again, the next run repairs it.
    ASSERT_EQ(0, unlink((folder + "/filler").c_str()));
    r = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k", Reglookup(hive)[kClassPath + "/UpperFilters"]);
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(windows + "/system32/config"));

    // Mounted read-only (as ntfs-3g does with a hibernated Windows): refused
    // before any question, with why and what to do; a check still runs.
    if (mountHere) {
        ASSERT_EQ(0, mount(NULL, folder.c_str(), NULL, MS_REMOUNT | MS_RDONLY, NULL)) << strerror(errno);
        std::string repaired = ReadFile(hive);
        const std::string why = hive + " cannot be changed: its file system is mounted read-only "
                                "(ntfs-3g does so by itself when Windows was hibernated or not shut "
                                "down fully); start that Windows and shut it down fully, or mount "
                                "the volume read-write, then run tessaril again";
        r = RunTessaril(windows.c_str(), "y\n");
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("tessaril: " + why + ". Nothing was changed.\n", r.err);
        EXPECT_EQ("", r.out + r.summary);
        r = RunTessaril(windows.c_str(), "", {"--check"});
        EXPECT_EQ(0, r.exitCode);
        EXPECT_EQ("tessaril: note: " + why + ".\n", r.err);
        EXPECT_EQ(repaired, ReadFile(hive));
    }
}

TEST(OfflineFileSystem, HiveInAFolderThatCannotBeWrittenIsLeftAsItWas)
{
    // Root writes any folder: the run is made as nobody then, which needs a
    // folder nobody may enter.
    OtherUserFolder folder("folder-unwritable");
    if (geteuid() == 0 && folder.path.empty())
        GTEST_SKIP() << "no folder that the user nobody may enter: " << folder.why;
    std::string windows = MakeSample(geteuid() == 0 ? folder.path : FreshFolder("folder-unwritable"));
    ASSERT_FALSE(windows.empty());
    std::string config = windows + "/system32/config";
    std::string hive = config + "/system";
    // The hive itself may be written, its folder not: the new hive could not
    // be put in its place.
    ASSERT_EQ(0, chmod(hive.c_str(), 0666));
    ASSERT_EQ(0, chmod(config.c_str(), 0555));
    ASSERT_EQ(0, chmod((windows + "/Temp").c_str(), 0777));
    std::vector<std::string> as;
    if (geteuid() == 0)
        as = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    std::string bytes = ReadFile(hive);

    RunResult r = RunTessaril(windows.c_str(), "y\n", {}, as);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("tessaril: " + hive + " cannot be changed: this user may not write its folder, "
              "where the new hive is made; run tessaril as a user who may, such as root. Nothing "
              "was changed.\n",
              r.err);
    EXPECT_EQ("", r.out + r.summary);
    EXPECT_EQ(std::set<std::string>{}, FolderNames(windows + "/Temp"));
    EXPECT_EQ(bytes, ReadFile(hive));
    EXPECT_EQ((std::set<std::string>{"software", "system"}), FolderNames(config));
    ASSERT_EQ(0, chmod(config.c_str(), 0755));
}

// Every system call of the hive's save made to fail, once and from that call
// on, during whole runs: a run whose save fails leaves the hive byte for byte
// as it was and nothing beside it, exits 1, says why and ends its log with
// the failed-save line, and the next run repairs the installation completely; a run whose failing call is retried
// ends as a normal run does.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>

using namespace offline;

namespace {

struct Installation {
    std::string name;
    std::vector<std::string> sampleOptions;
    std::vector<std::string> background; // faults of every run: the file system's nature
    std::string pristine;                // the Windows folder, never run on
};

// A run of the program with the faults given (and the installation's own).
RunResult RunFailing(const Installation &inst, const std::string &windows,
                     const std::vector<std::string> &faults,
                     std::map<std::string, long> *calls = NULL)
{
    std::vector<std::string> argv = {TESSARIL_FAILING_CALLS};
    for (const std::string &f : inst.background)
        argv.insert(argv.end(), {"--fail", f});
    for (const std::string &f : faults)
        argv.insert(argv.end(), {"--fail", f});
    std::string callsFile = WorkPath("failing-calls.txt");
    if (calls)
        argv.insert(argv.end(), {"--calls", callsFile});
    argv.insert(argv.end(), {"--", "--yes", windows});
    RunResult r = RunProgram(argv);
    if (calls) {
        std::ifstream in(callsFile);
        std::string name;
        long n;
        while (in >> name >> n)
            (*calls)[name] = n;
    }
    return r;
}

// A fresh copy of the installation, as the pristine one; its Windows folder.
std::string Copy(const Installation &inst)
{
    std::string folder = WorkPath("failing-calls-run");
    std::string from = WorkPath("failing-calls-" + inst.name);
    std::string cmd = "rm -rf '" + folder + "' && cp -a '" + from + "' '" + folder + "'";
    if (system(cmd.c_str()) != 0)
        return "";
    return folder + inst.pristine.substr(from.size());
}

struct Reference {
    RunResult run;
    std::string hive; // the hive after the run
    std::string log;
    struct stat file; // the hive before: its owner and mode stay
};

bool UnnamedFilesWork(const std::string &folder)
{
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

const std::set<std::string> kConfig = {"software", "system"};
// EIO, as the user reads it.
const std::string kEio = "the disk reported a read or write error";
const std::string kFailedSave =
    Entry("Fail - Cannot save the registry hive system32\\config\\system");

// The hive without its two sequence numbers, which count the saves (a save
// tried again counts twice), nor the run's time, which the header, the first
// bin and the keys the run wrote hold, nor the checksum over them.
std::string Unsequenced(std::string hive)
{
    if (hive.size() < 0x200)
        return hive;
    hive.replace(4, 8, 8, '\0');
    std::string time = hive.substr(0x0C, 8);
    for (size_t at = hive.find(time); at != std::string::npos; at = hive.find(time, at + 8))
        hive.replace(at, 8, 8, '\0');
    hive.replace(0x1FC, 4, 4, '\0');
    return hive;
}

// What a run that did the whole repair leaves: the reference's hive, log and
// dialogue, nothing beside the hive.
void ExpectRepaired(const Reference &ref, const RunResult &r, const std::string &windows)
{
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(ref.run.out, r.out);
    std::string hive = windows + "/system32/config/system";
    EXPECT_TRUE(Unsequenced(ref.hive) == Unsequenced(ReadFile(hive)));
    unsigned first = 0, second = 1;
    SequenceNumbers(hive, &first, &second);
    EXPECT_EQ(first, second);
    struct stat st = {};
    EXPECT_EQ(0, stat(hive.c_str(), &st));
    EXPECT_EQ(ref.file.st_uid, st.st_uid);
    EXPECT_EQ(ref.file.st_gid, st.st_gid);
    EXPECT_EQ(ref.file.st_mode, st.st_mode);
    EXPECT_EQ(ref.log, ReadFile(windows + "/Temp/Tessaril.log"));
    EXPECT_EQ(kConfig, FolderNames(windows + "/system32/config"));
}

} // namespace

TEST(OfflineFailingCalls, EverySaveCallFailsOnceAndFromThenOn)
{
    bool root = geteuid() == 0;
    std::vector<Installation> installations = {
        {"xp", {"--filler", "20"}, {}, ""},
        // Windows 2000's hive is rewritten after hivex (pread, pwrite); a file
        // system without unnamed files, as ntfs-3g, names the new file from
        // the start; a hive of another owner is given back to it (fchown).
        {"2000",
         {"--version", "5.0", "--filler", "20"},
         {"tmpfile:1:from:" + std::to_string(EOPNOTSUPP)},
         ""},
    };
    std::set<std::string> reached;
    long runs = 0;
    for (Installation &inst : installations) {
        SCOPED_TRACE(inst.name);
        inst.pristine = MakeSample(FreshFolder("failing-calls-" + inst.name), inst.sampleOptions);
        ASSERT_FALSE(inst.pristine.empty());
        std::string pristineHive = inst.pristine + "/system32/config/system";
        if (inst.name == "2000" && root) {
            ASSERT_EQ(0, chown(pristineHive.c_str(), 65534, 65534));
        }
        std::string original = ReadFile(pristineHive);

        Reference ref;
        ASSERT_EQ(0, stat(pristineHive.c_str(), &ref.file));
        std::string windows = Copy(inst);
        std::map<std::string, long> calls;
        ref.run = RunFailing(inst, windows, {}, &calls);
        ASSERT_EQ(0, ref.run.exitCode) << ref.run.err;
        ASSERT_EQ("", ref.run.err);
        ref.hive = ReadFile(windows + "/system32/config/system");
        ref.log = ReadFile(windows + "/Temp/Tessaril.log");
        ASSERT_NE(original, ref.hive);
        ASSERT_NE(std::string::npos, ref.log.find("After create Mbx7_"));

        for (const auto &call : calls) {
            if (call.second == 0)
                continue;
            reached.insert(call.first);
            std::set<long> nth = {1, call.second};
            for (long n : nth) {
                for (bool from : {false, true}) {
                    std::string fault =
                        call.first + ":" + std::to_string(n) + (from ? ":from" : ":once");
                    SCOPED_TRACE(fault);
                    windows = Copy(inst);
                    std::string hive = windows + "/system32/config/system";
                    RunResult r = RunFailing(inst, windows, {fault});
                    runs++;
                    // The folder's flush comes after the rename: the new
                    // hive is in place, and the run says what was not done.
                    bool folderFlush = call.first == "fsync" && n == 2;
                    // One failure: the save is tried again when the
                    // installation is closed, and succeeds.
                    if (folderFlush || !from) {
                        ExpectRepaired(ref, r, windows);
                        if (folderFlush) {
                            EXPECT_EQ("tessaril: warning: the hive " + hive +
                                          " was changed, but its folder could not be flushed to "
                                          "disk because " + kEio + ": should the system stop "
                                          "before it writes the folder itself, the old hive may "
                                          "come back, and tessaril is to be run again.\n",
                                      r.err);
                        } else {
                            EXPECT_EQ("", r.err);
                        }
                        continue;
                    }
                    // A save that failed is told before any question.
                    EXPECT_EQ(1, r.exitCode);
                    EXPECT_EQ(ConfirmBox({"y"}), r.out);
                    std::string step = "tessaril: the hive " + hive + " was not changed: " +
                                       "tessaril wrote the changed hive into a new file beside " +
                                       "it, and ";
                    std::string create = "tessaril: the hive " + hive + " was not changed: no " +
                                         "new file can be created beside it, because " + kEio;
                    EXPECT_TRUE((r.err.rfind(step, 0) == 0 || r.err.rfind(create, 0) == 0) &&
                                r.err.find(" because " + kEio + ". None of this run's changes "
                                           "were saved") != std::string::npos)
                        << r.err;
                    EXPECT_TRUE(original == ReadFile(hive));
                    EXPECT_EQ(kConfig, FolderNames(windows + "/system32/config"));
                    EXPECT_EQ(ref.log + kFailedSave, ReadFile(windows + "/Temp/Tessaril.log"));
                    // The next run on the same installation repairs it.
                    RunResult next = RunFailing(inst, windows, {});
                    runs++;
                    ExpectRepaired(ref, next, windows);
                    EXPECT_EQ("", next.err);
                    if (::testing::Test::HasFailure())
                        return;
                }
            }
        }

        // The new file cannot be removed after the rename failed: the reason
        // given is still the rename's, the file is named, and the next run
        // removes it.
        windows = Copy(inst);
        std::string config = windows + "/system32/config";
        RunResult r = RunFailing(inst, windows, {"renameat:1:from", "unlinkat:1:from"}, &calls);
        runs++;
        EXPECT_EQ(1, r.exitCode);
        // Twice at the wizard's last close of a key, once more at the end.
        EXPECT_EQ(3, calls["unlinkat"]);
        reached.insert("unlinkat");
        EXPECT_EQ(0u, r.err.find("tessaril: the hive " + config + "/system was not changed: "
                                 "tessaril wrote the changed hive into a new file beside it, and "
                                 "putting it in place of the hive failed because " + kEio +
                                 "; that new file, system.tessaril-"))
            << r.err;
        EXPECT_NE(std::string::npos, r.err.find(", could not be removed because " + kEio +
                                                ", and the next run removes it. None of"));
        EXPECT_EQ(ref.log + kFailedSave, ReadFile(windows + "/Temp/Tessaril.log"));
        EXPECT_TRUE(original == ReadFile(config + "/system"));
        EXPECT_EQ(5u, FolderNames(config).size()); // a new file left by each of the three tries
        RunResult next = RunFailing(inst, windows, {});
        runs++;
        ExpectRepaired(ref, next, windows);
    }

    // Every call of the table failed somewhere: fchown only where the hive
    // can be given another owner, linkat only where unnamed files exist.
    std::set<std::string> all = {"openat", "hivex_commit", "pread", "pwrite", "fchown", "fchmod",
                                 "fsync",  "flock",        "linkat", "renameat", "unlinkat"};
    std::vector<std::string> notHere;
    if (!root)
        notHere.push_back("fchown (the hive's owner can be changed by root only)");
    if (!UnnamedFilesWork(WorkPath("")))
        notHere.push_back("linkat (this file system has no unnamed files)");
    for (const std::string &call : all)
        if (!reached.count(call) &&
            !(call == "fchown" && !root) && !(call == "linkat" && !UnnamedFilesWork(WorkPath(""))))
            ADD_FAILURE() << call << " never called";
    RecordProperty("runs", (int)runs);
    for (const std::string &n : notHere)
        std::cout << "not failed here: " << n << "\n";
    EXPECT_GT(runs, 40);
}

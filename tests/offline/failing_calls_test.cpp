// Every system call of the hive's save made to fail in turn, as a sweep:
// each call of a whole run fails once, twice in a row, and from then on, on
// an XP installation, a Windows 2000 one spelt as Windows 2000 leaves it
// (WINNT\System32\CONFIG\SYSTEM, TEMP) and one whose run writes a value in
// big data, each with and without --backup. Whatever fails, the status tells
// what is on disk: 0 exactly when the hive is the complete repaired one (with
// one backup of the old one when asked), 1 when it is byte for byte as it was
// (with no backup); nothing else is left beside it, the summary names only
// files that exist, and the next run repairs what is left.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace offline;

namespace {

struct Installation {
    std::string name;
    std::vector<std::string> sampleOptions;
    std::vector<std::string> background; // faults of every run: the file system's nature
    std::string pristine = "";           // the Windows folder, never run on
    std::string system32 = "system32", config = "config", hive = "system", temp = "Temp";
};

// A run of the program with the faults given (and the installation's own);
// calls (when given) receives the calls made, in order.
RunResult RunFailing(const Installation &inst, const std::string &windows,
                     const std::vector<std::string> &faults, bool backup = false,
                     std::vector<std::string> *calls = NULL)
{
    std::vector<std::string> argv = {TESSARIL_FAILING_CALLS};
    for (const std::string &f : inst.background)
        argv.insert(argv.end(), {"--fail", f});
    for (const std::string &f : faults)
        argv.insert(argv.end(), {"--fail", f});
    std::string callsFile = WorkPath("failing-calls.txt");
    if (calls)
        argv.insert(argv.end(), {"--sequence", callsFile});
    argv.insert(argv.end(), {"--", "--yes"});
    if (backup)
        argv.push_back("--backup");
    argv.push_back(windows);
    RunResult r = RunProgram(argv);
    if (calls) {
        std::ifstream in(callsFile);
        calls->clear();
        for (std::string name; in >> name;)
            calls->push_back(name == "tmpfile" ? "openat" : name);
    }
    return r;
}

// A fresh copy of the installation, as the pristine one, in the run folder
// of a slot; its Windows folder. Once made, only the folders a run changes
// are put back: the hive's and Temp.
std::string Copy(const Installation &inst, int slot = 0)
{
    static std::mutex lock;
    static std::map<int, std::string> made;
    std::string folder = WorkPath("failing-calls-run" + std::to_string(slot));
    std::string from = WorkPath("failing-calls-" + inst.name);
    std::string windows = folder + inst.pristine.substr(from.size());
    {
        std::lock_guard<std::mutex> hold(lock);
        if (made[slot] != inst.name) {
            std::string cmd = "rm -rf '" + folder + "' && cp -a '" + from + "' '" + folder + "'";
            made[slot] = system(cmd.c_str()) == 0 ? inst.name : "";
            return made[slot].empty() ? "" : windows;
        }
    }
    for (const std::string &rel : {"/" + inst.system32 + "/" + inst.config, "/" + inst.temp}) {
        std::string a = inst.pristine + rel, b = windows + rel;
        std::set<std::string> names = FolderNames(a);
        for (const std::string &n : FolderNames(b))
            if (!names.count(n))
                unlink((b + "/" + n).c_str());
        for (const std::string &n : names) {
            struct stat st;
            if (stat((a + "/" + n).c_str(), &st) != 0)
                return "";
            unlink((b + "/" + n).c_str());
            WriteFile(b + "/" + n, ReadFile(a + "/" + n));
            if (chmod((b + "/" + n).c_str(), st.st_mode & 07777) != 0 ||
                (geteuid() == 0 && chown((b + "/" + n).c_str(), st.st_uid, st.st_gid) != 0))
                return "";
        }
    }
    return windows;
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

// The summary with the backup's time and the slot's folder taken out.
std::string Untimed(std::string summary)
{
    for (size_t at = summary.find("failing-calls-run"); at != std::string::npos;
         at = summary.find("failing-calls-run", at + 1))
        summary[at + 17] = '#';
    size_t at = summary.find(".before-tessaril-");
    if (at != std::string::npos)
        summary.replace(at, summary.find('\n', at) - at, ".before-tessaril-TIME");
    return summary;
}

// What a run that did the whole repair leaves: the reference's hive, log and
// dialogue; beside the hive, one backup of the old hive when asked for and
// nothing else.
void ExpectRepaired(const Installation &inst, const Reference &ref, const RunResult &r,
                    const std::string &windows, const std::string &original, bool backup, int slot = 0)
{
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(ref.run.out, r.out);
    EXPECT_EQ(Untimed(ref.run.summary), Untimed(r.summary));
    std::string config = windows + "/" + inst.system32 + "/" + inst.config, hive = config + "/" + inst.hive;
    if (Unsequenced(ref.hive) != Unsequenced(ReadFile(hive))) {
        // Only where the old hive's big data could not be read before the
        // save: its segments stay allocated, space lost, the hive whole.
        std::string copy = WorkPath("failing-calls-reference" + std::to_string(slot));
        WriteFile(copy, ref.hive);
        EXPECT_EQ(Reglookup(copy), Reglookup(hive));
        EXPECT_TRUE(KernelAccepts(hive));
    }
    unsigned first = 0, second = 1;
    SequenceNumbers(hive, &first, &second);
    EXPECT_EQ(first, second);
    struct stat st = {};
    EXPECT_EQ(0, stat(hive.c_str(), &st));
    EXPECT_EQ(ref.file.st_uid, st.st_uid);
    EXPECT_EQ(ref.file.st_gid, st.st_gid);
    EXPECT_EQ(ref.file.st_mode, st.st_mode);
    EXPECT_EQ(ref.log, ReadFile(windows + "/" + inst.temp + "/Tessaril.log"));
    std::set<std::string> names = FolderNames(config);
    size_t copies = 0;
    for (const std::string &n : names)
        if (n.rfind(inst.hive + ".before-tessaril-", 0) == 0) {
            copies++;
            EXPECT_TRUE(original == ReadFile(config + "/" + n)) << n << " does not hold the old hive";
        }
    EXPECT_EQ(backup ? 1u : 0u, copies);
    EXPECT_EQ(2 + copies, names.size());
}

// Every path the summary names ("of PATH:", "kept as PATH", "the log: PATH")
// is a file that exists by that very name.
void ExpectNamedFilesExist(const std::string &summary)
{
    for (const char *before : {" of /", "kept as /", "the log: /"}) {
        for (size_t at = summary.find(before); at != std::string::npos; at = summary.find(before, at + 1)) {
            size_t from = at + strlen(before) - 1, end = summary.find_first_of(":\n", from);
            std::string path = summary.substr(from, end - from);
            struct stat st;
            EXPECT_EQ(0, lstat(path.c_str(), &st)) << "the summary names " << path << ", which is not there";
        }
    }
}

// One point of the sweep: a run with the fault, in the slot's folder, and
// what it must leave; after a failed save, the next run, which repairs.
void SweepPoint(const Installation &inst, const Reference &ref, const std::string &fault, bool backup,
                const std::string &original, int slot, std::atomic<long> *runs)
{
    std::string windows = Copy(inst, slot);
    std::string config = windows + "/" + inst.system32 + "/" + inst.config;
    RunResult r = RunFailing(inst, windows, {fault}, backup);
    (*runs)++;
    ASSERT_NE(-1, r.exitCode) << "killed by a signal";
    ExpectNamedFilesExist(r.summary);
    if (ReadFile(config + "/" + inst.hive) != original) {
        // The hive changed: the complete repair, told as one (a failed
        // flush of the folder is a warning).
        ExpectRepaired(inst, ref, r, windows, original, backup, slot);
        EXPECT_TRUE(r.err.empty() || r.err.find("warning: ") == 10) << r.err;
        return;
    }
    // The hive is as it was, and so is its folder.
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(ConfirmBox({"y"}), r.out);
    EXPECT_NE(std::string::npos, r.summary.find(": not repaired; the hive is as it was\n"));
    EXPECT_NE(std::string::npos, r.err.find(". None of this run's changes were saved"));
    EXPECT_EQ(FolderNames(inst.pristine + "/" + inst.system32 + "/" + inst.config), FolderNames(config));
    EXPECT_EQ(ref.log + kFailedSave, ReadFile(windows + "/" + inst.temp + "/Tessaril.log"));
    RunResult next = RunFailing(inst, windows, {}, backup);
    (*runs)++;
    ExpectRepaired(inst, ref, next, windows, original, backup, slot);
    EXPECT_EQ("", next.err);
}

// How many runs go at once.
const int kSlots = 4;

} // namespace

TEST(OfflineFailingCalls, EveryCallOfTheSaveFailsInTurn)
{
    bool root = geteuid() == 0;
    Installation w2k{"2000",
                     // A log of another spelling, as an earlier run of
                     // something else may have left it.
                     {"--version", "5.0", "--filler", "20", "--mangle-case"},
                     // A file system without unnamed files, as ntfs-3g,
                     // names the new file from the start; a hive of another
                     // owner is given back to it (fchown).
                     {"tmpfile:1:from:" + std::to_string(EOPNOTSUPP)},
                     ""};
    w2k.system32 = "System32", w2k.config = "CONFIG", w2k.hive = "SYSTEM", w2k.temp = "TEMP";
    std::vector<Installation> installations = {
        {"xp", {"--filler", "20"}, {}, ""},
        w2k,
        // UpperFilters grows past one segment: the last pass moves it into
        // big data.
        {"big", {"--filler", "45", "--filter-filler", "45", "--filler-length", "200"}, {}, ""},
    };
    std::set<std::string> reached;
    std::atomic<long> runs{0};
    for (Installation &inst : installations) {
        SCOPED_TRACE(inst.name);
        inst.pristine = MakeSample(FreshFolder("failing-calls-" + inst.name), inst.sampleOptions);
        ASSERT_FALSE(inst.pristine.empty());
        std::string relative = "/" + inst.system32 + "/" + inst.config + "/" + inst.hive;
        std::string pristineHive = inst.pristine + relative;
        if (inst.name == "2000") {
            WriteFile(inst.pristine + "/" + inst.temp + "/TESSARIL.LOG", "an older log\r\n");
            if (root) {
                ASSERT_EQ(0, chown(pristineHive.c_str(), 65534, 65534));
            }
        }
        std::string original = ReadFile(pristineHive);
        for (bool backup : {false, true}) {
            SCOPED_TRACE(backup ? "--backup" : "no backup");
            Reference ref;
            ASSERT_EQ(0, stat(pristineHive.c_str(), &ref.file));
            std::string windows = Copy(inst);
            std::vector<std::string> calls;
            ref.run = RunFailing(inst, windows, {}, backup, &calls);
            ASSERT_EQ(0, ref.run.exitCode) << ref.run.err;
            ASSERT_EQ("", ref.run.err);
            ref.hive = ReadFile(windows + relative);
            ref.log = ReadFile(windows + "/" + inst.temp + "/Tessaril.log");
            ASSERT_NE(original, ref.hive);
            ASSERT_NE(std::string::npos, ref.log.find("After create Mbx7_"));
            ExpectNamedFilesExist(ref.run.summary);
            EXPECT_TRUE(KernelAccepts(windows + relative));
            // Durable: the new file is flushed before it replaces the hive,
            // and the folder after.
            auto rename = std::find(calls.begin(), calls.end(), "renameat");
            ASSERT_TRUE(rename != calls.end());
            EXPECT_TRUE(std::find(calls.begin(), rename, "fsync") != rename);
            EXPECT_EQ(std::vector<std::string>(rename, calls.end()),
                      std::vector<std::string>({"renameat", "fsync"}));

            // The points, each run in the folder of one of a few slots at
            // once: the runs wait on the disk more than on the processor.
            std::vector<std::string> faults;
            std::map<std::string, long> nth;
            for (const std::string &call : calls) {
                reached.insert(call);
                long n = ++nth[call];
                for (const char *mode : {"once", "twice", "from"})
                    faults.push_back(call + ":" + std::to_string(n) + ":" + mode);
            }
            std::atomic<size_t> next{0};
            auto sweep = [&](int slot) {
                SCOPED_TRACE(inst.name + (backup ? ", --backup" : ", no backup"));
                for (size_t i = next++; i < faults.size() && !::testing::Test::HasFailure(); i = next++) {
                    SCOPED_TRACE(faults[i]);
                    SweepPoint(inst, ref, faults[i], backup, original, slot, &runs);
                }
            };
            std::vector<std::thread> slots;
            for (int slot = 1; slot < kSlots; slot++)
                slots.emplace_back(sweep, slot);
            sweep(0);
            for (std::thread &t : slots)
                t.join();
            if (::testing::Test::HasFailure())
                return;
        }

        // The new file cannot be removed after the rename failed: the reason
        // given is still the rename's, the file is named, and the next run
        // removes it.
        std::string windows = Copy(inst);
        std::string config = windows + "/" + inst.system32 + "/" + inst.config;
        std::vector<std::string> calls;
        RunResult r = RunFailing(inst, windows, {"renameat:1:from", "unlinkat:1:from"}, false, &calls);
        runs++;
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "unlinkat")); // one for each try
        reached.insert("unlinkat");
        EXPECT_EQ(0u, r.err.find("tessaril: the hive " + config + "/" + inst.hive + " was not changed: "
                                 "tessaril wrote the changed hive into a new file beside it, and "
                                 "putting it in place of the hive failed because " + kEio +
                                 "; that new file, " + inst.hive + ".tessaril-"))
            << r.err;
        EXPECT_NE(std::string::npos, r.err.find(", could not be removed because " + kEio +
                                                ", and the next run removes it. None of"));
        EXPECT_TRUE(original == ReadFile(config + "/" + inst.hive));
        EXPECT_EQ(4u, FolderNames(config).size()); // a new file left by each of the two tries
        Reference ref;
        ref.file = {};
        ASSERT_EQ(0, stat((config + "/" + inst.hive).c_str(), &ref.file));
        RunResult next = RunFailing(inst, windows, {});
        runs++;
        EXPECT_EQ(0, next.exitCode);
        EXPECT_EQ(2u, FolderNames(config).size());
    }

    // Every call of the table failed somewhere: fchown only where the hive
    // can be given another owner, linkat only where unnamed files exist.
    std::set<std::string> all = {"openat", "hivex_commit", "pread", "pwrite", "fchown", "fchmod",
                                 "fsync",  "flock",        "linkat", "renameat", "unlinkat"};
    for (const std::string &call : all) {
        bool cannot = (call == "fchown" && !root) || (call == "linkat" && !UnnamedFilesWork(WorkPath("")));
        if (cannot)
            std::cout << "not failed here: " << call << "\n";
        else if (!reached.count(call))
            ADD_FAILURE() << call << " never called";
    }
    RecordProperty("runs", (int)runs.load());
    std::cout << runs << " runs\n";
}

// Repairs killed with SIGKILL: after every kill the SYSTEM hive is the old one
// byte for byte, or the complete new one (byte for byte but for the run's
// times) that hivex and reglookup both read with the repaired lists, and
// nothing is left beside it that the next run would trip over.
//
// The kills land first at chosen points, right after each system call of the
// save in turn, so that every point is reached on every machine however fast
// or busy; then, as a second net, at random moments of whole runs.
// TESSARIL_CRASH_RUNS sets the number of random kills (100 by default),
// TESSARIL_CRASH_SEED the seed of their delays (printed by every run).
#include "offline_harness.h"
#include "platform/offline/regf_format.h"
#include "testing/regf_walk.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>

using namespace offline;

namespace {

const std::string kClassPath = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";

struct Installation {
    std::string windows;
    std::string hive;
    std::string original;
    std::string lowerDriver;
    bool w2k;
};

double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}


// Starts tessaril on the installation, answering "y" and "n"; kills it after
// delay seconds (never when delay is negative). True when SIGKILL is what
// ended it; *exitCode gets the exit code of a run that ended by itself. The
// program and its first arguments may be given instead of tessaril's.
bool RunAndKill(const Installation &inst, const std::string &answers, double delay, int *exitCode,
                std::vector<std::string> program = {TESSARIL_EXE})
{
    std::vector<char *> argv;
    for (std::string &a : program)
        argv.push_back(&a[0]);
    argv.push_back(NULL);
    std::string env = "TESSARIL_SYSTEMROOT=" + inst.windows;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(answers.c_str(), O_RDONLY);
        int null = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(null, 1);
        dup2(null, 2);
        putenv(&env[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        return false;
    if (delay >= 0) {
        struct timespec t;
        t.tv_sec = (time_t)delay;
        t.tv_nsec = (long)((delay - (double)t.tv_sec) * 1e9);
        nanosleep(&t, NULL);
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Whether the hive is the whole repaired one, as three readers see it.
::testing::AssertionResult CompleteNewHive(const Installation &inst)
{
    unsigned s1 = 0, s2 = 0;
    SequenceNumbers(inst.hive, &s1, &s2);
    if (s1 != s2)
        return ::testing::AssertionFailure() << "sequence numbers " << s1 << " and " << s2;
    std::string upper = MultiUtf16({"redbook", "imapi", "Gravle2k", "kvt_2k"});
    std::string lower = MultiUtf16({"PxHelp20", inst.lowerDriver});
    int type = 0;
    std::string data;
    std::string key = std::string("ControlSet001\\") + kClassKey;
    if (!HivexValue(inst.hive, key, "UpperFilters", &type, &data) || type != 7 || data != upper)
        return ::testing::AssertionFailure() << "hivex does not read the new UpperFilters";
    if (!HivexValue(inst.hive, key, "LowerFilters", &type, &data) || type != 7 || data != lower)
        return ::testing::AssertionFailure() << "hivex does not read the new LowerFilters";
    std::map<std::string, std::string> seen = Reglookup(inst.hive);
    if (seen[kClassPath + "/UpperFilters"] != "MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k" ||
        seen[kClassPath + "/LowerFilters"] != "MULTI_SZ,PxHelp20|" + inst.lowerDriver ||
        seen["/ControlSet001/Services/Gravle2k/Parameters/ExcludeMiniports"] != "SZ,")
        return ::testing::AssertionFailure() << "reglookup does not read the new lists";
    CellCensus cells = CountCells(inst.hive);
    if (!cells.walked)
        return ::testing::AssertionFailure() << "the bins do not follow each other";
    if (inst.w2k && cells.lists["lh"] != 0)
        return ::testing::AssertionFailure() << "a Windows 2000 hive got hash leaves";
    return KernelAccepts(inst.hive);
}

// The hive's bytes with the run's times zeroed: the base block's time and
// checksum, the first bin's time, every key's last-write time. Two runs on
// the same hive then give the same bytes.
std::string WithoutTimes(std::string d)
{
    if (d.size() < kRegfBinsStart + regf_bin::kHeaderSize)
        return d;
    Put64(d, regf_base::kTime, 0);
    Put32(d, regf_base::kChecksum, 0);
    Put64(d, kRegfBinsStart + regf_bin::kTime, 0);
    std::vector<size_t> keys;
    RegfWalkCells(d, [&](const RegfWalkedCell &cell) {
        if (cell.used && cell.size >= 16 && d.compare(cell.at + 4, 2, "nk") == 0)
            keys.push_back(cell.at + 4);
    });
    for (size_t nk : keys)
        Put64(d, nk + regf_nk::kTime, 0);
    return d;
}

std::vector<std::string> Lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

// Every point of the save in turn: a run killed as soon as the Nth system
// call of the save has returned (N = 0: at the first, before it runs). Up to
// the rename the old hive stays; from it on, the complete new one is there.
// Either way the next run clears what the killed one left and repairs.
TEST(OfflineCrashLoop, KilledAfterEachCallOfTheSave)
{
    std::string answers = FreshFolder("crash-points-answers") + "/answers";
    WriteFile(answers, "y\nn\n");
    const std::set<std::string> clean = {"software", "system"};
    for (int w2k = 0; w2k < 2 && !HasFailure(); w2k++) {
        Installation in;
        std::string folder = FreshFolder(w2k ? "crash-points-w2k" : "crash-points-xp");
        in.windows = MakeSample(folder, w2k ? std::vector<std::string>{"--version", "5.0"}
                                            : std::vector<std::string>{});
        ASSERT_FALSE(in.windows.empty());
        in.hive = in.windows + "/system32/config/system";
        in.original = ReadFile(in.hive);
        in.lowerDriver = w2k ? "Mbx7_2k" : "Mbx7_xp";
        in.w2k = w2k;
        std::string sequenceFile = folder + "/calls";

        // An uninterrupted run: the calls of the save, and the new hive.
        int code = -1;
        ASSERT_FALSE(RunAndKill(in, answers, -1, &code,
                                {TESSARIL_FAILING_CALLS, "--sequence", sequenceFile, "--"}));
        ASSERT_EQ(0, code);
        ASSERT_TRUE(CompleteNewHive(in));
        const std::string repaired = WithoutTimes(ReadFile(in.hive));
        const std::vector<std::string> calls = Lines(sequenceFile);
        size_t rename = std::find(calls.begin(), calls.end(), "renameat") - calls.begin();
        ASSERT_LT(rename, calls.size()) << "the save renames no file";

        printf("crash points (%s): %zu calls, %zu points\n", w2k ? "Windows 2000" : "Windows XP",
               calls.size(), calls.size() + 1);
        // What each point left, told once for a run of like points.
        std::string told;
        size_t first = 0;
        auto tell = [&](size_t n, const std::string &what) {
            if (what == told)
                return;
            if (!told.empty())
                printf("  points %2zu-%2zu %s\n", first, n - 1, told.c_str());
            told = what;
            first = n;
        };
        for (size_t n = 0; n <= calls.size() && !HasFailure(); n++) {
            std::string at = n == 0 ? "before " + calls[0] : "after " + calls[n - 1];
            WriteFile(in.hive, in.original);
            ASSERT_TRUE(RunAndKill(in, answers, -1, &code,
                                   {TESSARIL_FAILING_CALLS, "--kill-after", std::to_string(n), "--"}))
                << "point " << n << " (" << at << ") was never reached";
            std::string now = ReadFile(in.hive);
            bool old = now == in.original;
            if (n <= rename)
                EXPECT_TRUE(old) << "point " << n << " (" << at << ") did not leave the old hive";
            else
                EXPECT_EQ(repaired, WithoutTimes(now))
                    << "point " << n << " (" << at << ") did not leave the complete new hive";
            std::string beside;
            for (const std::string &name : FolderNames(in.windows + "/system32/config"))
                if (!clean.count(name)) {
                    EXPECT_EQ(0u, name.find("system.tessaril-")) << "point " << n << " left " << name;
                    beside = " and a new file beside it";
                }
            tell(n, at + ": " + (old ? "the old hive" : "the new hive") + beside);

            // The next run clears what is left and repairs.
            EXPECT_FALSE(RunAndKill(in, answers, -1, &code));
            EXPECT_EQ(0, code) << "point " << n;
            EXPECT_TRUE(CompleteNewHive(in)) << "point " << n;
            EXPECT_EQ(clean, FolderNames(in.windows + "/system32/config")) << "point " << n;
        }
        tell(calls.size() + 1, "");
    }
}

// The second net: kills at random moments of whole runs, half of them in the
// part where the hive is written. Where they land depends on the machine's
// speed, so the loop only reports how many fell on each side.
TEST(OfflineCrashLoop, KilledAtRandomMomentsLeaveTheOldHiveOrACompleteNewOne)
{
    int runs = 100;
    if (const char *n = getenv("TESSARIL_CRASH_RUNS"))
        runs = atoi(n);
    unsigned seed = std::random_device{}();
    if (const char *s = getenv("TESSARIL_CRASH_SEED"))
        seed = (unsigned)strtoul(s, NULL, 10);
    printf("crash loop: %d runs, TESSARIL_CRASH_SEED=%u\n", runs, seed);
    std::mt19937 random(seed);

    Installation inst[2];
    for (int i = 0; i < 2; i++) {
        std::string folder = FreshFolder(i == 0 ? "crash-xp" : "crash-w2k");
        inst[i].windows = MakeSample(folder, i == 0 ? std::vector<std::string>{}
                                                    : std::vector<std::string>{"--version", "5.0"});
        ASSERT_FALSE(inst[i].windows.empty());
        inst[i].hive = inst[i].windows + "/system32/config/system";
        inst[i].original = ReadFile(inst[i].hive);
        inst[i].lowerDriver = i == 0 ? "Mbx7_xp" : "Mbx7_2k";
        inst[i].w2k = i == 1;
    }
    std::string answers = FreshFolder("crash-answers") + "/answers";
    WriteFile(answers, "y\nn\n");
    const std::set<std::string> clean = {"software", "system"};

    // How long a whole run takes here, so that the kills fall across all of
    // it: one complete run on each installation, checked like the others.
    double whole = 0;
    for (Installation &in : inst) {
        int code = -1;
        double start = Now();
        EXPECT_FALSE(RunAndKill(in, answers, -1, &code));
        whole = std::max(whole, Now() - start);
        EXPECT_EQ(0, code);
        EXPECT_TRUE(CompleteNewHive(in));
        EXPECT_EQ(clean, FolderNames(in.windows + "/system32/config"));
    }

    int killed = 0, keptOld = 0, madeNew = 0, leftovers = 0, finished = 0;
    bool mustFinish = false; // the previous kill left a file beside the hive
    int leftoverIn = 0;      // of that installation
    for (int run = 0; run < runs && !HasFailure(); run++) {
        Installation &in = inst[mustFinish ? leftoverIn : run % 2];
        // Every run starts from the unrepaired hive. A file a killed run left
        // in the folder stays there for this run to deal with.
        WriteFile(in.hive, in.original);
        // Half the kills anywhere in the run, half in its last part, where
        // the hive is written, flushed and renamed.
        double delay = run % 4 < 2 ? std::uniform_real_distribution<double>(0, 1.05 * whole)(random)
                                   : std::uniform_real_distribution<double>(0.6 * whole, 1.1 * whole)(random);
        int code = -1;
        if (mustFinish) {
            // A run after a leftover: it must clear it and complete.
            EXPECT_FALSE(RunAndKill(in, answers, -1, &code));
            EXPECT_EQ(0, code) << "run " << run;
            EXPECT_TRUE(CompleteNewHive(in)) << "run " << run;
            EXPECT_EQ(clean, FolderNames(in.windows + "/system32/config")) << "run " << run;
            mustFinish = false;
            finished++;
            continue;
        }
        if (!RunAndKill(in, answers, delay, &code)) {
            // The run was over before the kill: it must have completed.
            EXPECT_EQ(0, code) << "run " << run;
            EXPECT_TRUE(CompleteNewHive(in)) << "run " << run;
            finished++;
        } else {
            killed++;
            if (ReadFile(in.hive) == in.original) {
                keptOld++;
            } else {
                EXPECT_TRUE(CompleteNewHive(in)) << "run " << run << ", killed after " << delay << " s";
                madeNew++;
            }
        }
        std::set<std::string> names = FolderNames(in.windows + "/system32/config");
        for (const std::string &n : names)
            if (!clean.count(n)) {
                EXPECT_EQ(0u, n.find("system.tessaril-")) << "run " << run << " left " << n;
                leftovers++;
                mustFinish = true;
                leftoverIn = &in == &inst[0] ? 0 : 1;
            }
        EXPECT_TRUE(names.count("system") && names.count("software")) << "run " << run;
    }
    printf("crash loop: %d kills (%d left the old hive, %d a complete new one), %d files left "
           "beside the hive and cleared by the next run, %d runs completed before their kill or "
           "after a leftover\n",
           killed, keptOld, madeNew, leftovers, finished);
    RecordProperty("kills", killed);
}

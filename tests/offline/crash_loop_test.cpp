// Repairs killed with SIGKILL at random moments: after every kill the SYSTEM
// hive is the old one byte for byte, or a complete new one that hivex and
// reglookup both read with the repaired lists, and nothing is left beside it
// that the next run would trip over.
//
// TESSARIL_CRASH_RUNS sets the number of runs (400 by default),
// TESSARIL_CRASH_SEED the seed of the delays (printed by every run).
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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
// delay seconds (never when delay is negative). True when the kill is what
// ended it; *exitCode gets the exit code of a run that ended by itself.
bool RunAndKill(const Installation &inst, const std::string &answers, double delay, int *exitCode)
{
    std::string env = "TESSARIL_SYSTEMROOT=" + inst.windows;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(answers.c_str(), O_RDONLY);
        int null = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(null, 1);
        dup2(null, 2);
        putenv(&env[0]);
        execl(TESSARIL_EXE, TESSARIL_EXE, (char *)NULL);
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
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(OfflineCrashLoop, KilledRunsLeaveTheOldHiveOrACompleteNewOne)
{
    int runs = 400;
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
    // The delays must reach both sides of the rename, or the loop proves
    // little. They are random and the machine's load varies, so a loop that
    // has not got there yet goes on, up to three times as long.
    auto bothSides = [&]() {
        return runs < 50 || (keptOld > runs / 10 && madeNew + finished > runs / 20);
    };
    for (int run = 0; (run < runs || (run < 3 * runs && !bothSides())) && !HasFailure(); run++) {
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
    EXPECT_TRUE(bothSides()) << "the kills did not reach both sides of the rename";
}

// Two tessaril processes on one installation: while the first waits at a box,
// the second says the installation is in use and changes nothing.
#include "offline_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

using namespace offline;

namespace {

const std::string kClassPath = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";

// A tessaril run that answers only when told to.
struct HeldRun {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    std::string shown;

    bool Start(const std::string &windows)
    {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0)
            return false;
        std::string env = "TESSARIL_SYSTEMROOT=" + windows;
        pid = fork();
        if (pid == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            close(toChild[1]);
            close(fromChild[0]);
            putenv(&env[0]);
            execl(TESSARIL_EXE, TESSARIL_EXE, (char *)NULL);
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
        return pid > 0;
    }

    // Reads its output until it has asked its n-th question.
    bool WaitForQuestion(int n)
    {
        for (;;) {
            int asked = 0;
            for (size_t at = shown.find("Yes or No? "); at != std::string::npos;
                 at = shown.find("Yes or No? ", at + 1))
                asked++;
            if (asked >= n)
                return true;
            char buffer[4096];
            ssize_t got = read(out, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            shown.append(buffer, (size_t)got);
        }
    }

    bool Answer(const std::string &line)
    {
        return write(in, line.data(), line.size()) == (ssize_t)line.size();
    }

    // Ends its input, reads the rest of its output; its exit code.
    int Finish()
    {
        close(in);
        char buffer[4096];
        ssize_t got;
        while ((got = read(out, buffer, sizeof buffer)) > 0)
            shown.append(buffer, (size_t)got);
        close(out);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace

TEST(OfflineConcurrentRuns, SecondRunFindsTheInstallationInUseAndChangesNothing)
{
    std::string windows = MakeSample(FreshFolder("concurrent"));
    ASSERT_FALSE(windows.empty());
    std::string hive = windows + "/system32/config/system";
    std::string log = windows + "/Temp/Tessaril.log";
    WriteFile(log, "old log");
    std::string original = ReadFile(hive);

    HeldRun first;
    ASSERT_TRUE(first.Start(windows));
    // At its first box: the hive is loaded and locked, nothing written yet.
    ASSERT_TRUE(first.WaitForQuestion(1)) << first.shown;
    RunResult second = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(2, second.exitCode);
    EXPECT_EQ("", second.out);
    EXPECT_NE(std::string::npos, second.err.find("is in use: another tessaril run holds its SYSTEM hive"))
        << second.err;
    EXPECT_NE(std::string::npos, second.err.find("Nothing was changed")) << second.err;
    EXPECT_EQ(original, ReadFile(hive));
    EXPECT_EQ("old log", ReadFile(log));

    // At its last box the first run has written its new hive: the lock has
    // moved to the new file with it, so a second run is still kept out.
    ASSERT_TRUE(first.Answer("y\n"));
    ASSERT_TRUE(first.WaitForQuestion(2)) << first.shown;
    std::string repaired = ReadFile(hive);
    EXPECT_NE(original, repaired);
    std::string firstLog = ReadFile(log);
    second = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(2, second.exitCode);
    EXPECT_EQ("", second.out);
    EXPECT_NE(std::string::npos, second.err.find("is in use: another tessaril run holds its SYSTEM hive"))
        << second.err;
    EXPECT_EQ(repaired, ReadFile(hive));
    EXPECT_EQ(firstLog, ReadFile(log));

    ASSERT_TRUE(first.Answer("n\n"));
    EXPECT_EQ(0, first.Finish());
    EXPECT_EQ(ConfirmBox({"y"}) + RestartBox({"n"}) + "tessaril: ControlSet001 of " + hive +
                  ": repaired, and the hive saved\n"
                  "tessaril: UpperFilters went from \"redbook|OldBurner|imapi|x?y|ab\" to "
                  "\"redbook|imapi|Gravle2k|kvt_2k\"\n"
                  "tessaril: LowerFilters went from \"PxHelp20|StaleLow\" to \"PxHelp20|Mbx7_xp\"\n"
                  "tessaril: service keys created: Gravle2k, kvt_2k, Mbx7_xp\n"
                  "tessaril: the log: " + log + "\n",
              first.shown);
    std::map<std::string, std::string> seen = Reglookup(hive);
    EXPECT_EQ("MULTI_SZ,redbook|imapi|Gravle2k|kvt_2k", seen[kClassPath + "/UpperFilters"]);
    EXPECT_EQ("MULTI_SZ,PxHelp20|Mbx7_xp", seen[kClassPath + "/LowerFilters"]);

    // Once the first has ended, the next run gets in.
    RunResult after = RunTessaril(windows.c_str(), "y\nn\n");
    EXPECT_EQ(0, after.exitCode);
    EXPECT_EQ("", after.err);
}

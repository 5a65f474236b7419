// The fault sweep: each scenario is run once to count its platform calls,
// then once for every call with that call failing, and once more with it and
// every later call failing. Whatever fails, the run returns 0, closes every
// handle, ends at a point the wizard allows, reports each failure in the log,
// and never loses a filter entry that the merge would keep.
#include "fault_sweep.h"

#include "harness.h"
#include "readback.h"

#include <algorithm>
#include <functional>

#include "wizard/wizard.h"

using namespace harness;

namespace {

struct Scenario {
    const char *name;
    std::function<void()> setUp;
    // Entries of each list that are registered and pass every rule: they must
    // be in the list after any run.
    std::vector<std::string> keptUpper;
    std::vector<std::string> keptLower;
};

void AllFiles()
{
    PutDriverFile("Gravle2k");
    PutDriverFile("kvt_2k");
    PutDriverFile("Mbx7_xp");
}

std::vector<Scenario> Scenarios()
{
    return {
        {"fresh system", [] { AllFiles(); }, {}, {}},
        {"mixed lists",
         [] {
             AllFiles();
             for (const char *s : {"redbook", "imapi", "cdrom", "Gravle2k"})
                 RegisterService(s);
             memplat::PutValue(kClassKey, "UpperFilters", REG_MULTI_SZ,
                               MultiSz({"redbook", "stale", "gravle2k", "a?b", "ab", "imapi"}));
             memplat::PutValue(kClassKey, "LowerFilters", REG_MULTI_SZ, MultiSz({"cdrom", "gone"}));
             memplat::PutFile(kLogPath, "old log");
         },
         {"redbook", "imapi"},
         {"cdrom"}},
        {"every service key exists",
         [] {
             AllFiles();
             memplat::PutDword(std::string(kServices) + "\\Gravle2k", "Start", 3);
             memplat::PutDword(std::string(kServices) + "\\kvt_2k", "Start", 3);
             memplat::PutDword(std::string(kServices) + "\\Mbx7_xp", "Start", 3);
             RegisterService("redbook");
             memplat::PutValue(kClassKey, "UpperFilters", REG_MULTI_SZ,
                               MultiSz({"Gravle2k", "kvt_2k", "redbook"}));
             memplat::PutValue(kClassKey, "LowerFilters", REG_MULTI_SZ, MultiSz({"Mbx7_xp"}));
         },
         {"redbook"},
         {}},
    };
}

std::string g_registryBefore;
std::string g_logBefore;
const SweepStore *g_store;

void Prepare(const Scenario &scenario)
{
    memplat::Reset();
    LogFilePath[0] = '\0';
    g_OperatingSystem = OperatingSystem();
    g_store->prepare(scenario.name, scenario.setUp);
    g_registryBefore = g_store->image();
    g_logBefore = LogBytes();
    memplat::QueueAnswers({IDYES, IDYES});
}

// The non-empty entries of a stored list.
std::vector<std::string> Entries(const std::string &multiSz)
{
    std::vector<std::string> out;
    for (const std::string &e : readback::SplitMultiSz(multiSz))
        if (!e.empty())
            out.push_back(e);
    return out;
}

// The messages of the log.
std::vector<std::string> LogMessages()
{
    std::vector<std::string> messages;
    std::string bytes;
    if (memplat::ReadFile(kLogPath, &bytes)) {
        EXPECT_TRUE(readback::Parse(bytes, &messages));
    }
    return messages;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Whether the failing call was one of the log's own.
bool IsLogCall(const std::string &op)
{
    return op.rfind("CreateFileA C:\\WINDOWS\\Temp\\Tessaril.log", 0) == 0 || op == "WriteFile" ||
           op.rfind("DeleteFileA", 0) == 0 || op == "GetWindowsDirectoryA";
}

void CheckRun(const Scenario &scenario, bool single, const std::string &failedOp)
{
    const std::vector<memplat::Box> &boxes = memplat::Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, kConfirm);
    const std::string &last = boxes[1].text;
    bool unsupported = last == kUnsupported;
    bool noClassKey = last == kNoClassKey;
    EXPECT_TRUE(unsupported || noClassKey || last.rfind("You must restart", 0) == 0) << last;
    EXPECT_EQ(memplat::OpenHandleCount(), 0);

    // No entry that the merge keeps is lost, whatever the list became.
    std::vector<std::string> upper = Entries(ClassValue("UpperFilters"));
    std::vector<std::string> lower = Entries(ClassValue("LowerFilters"));
    for (const std::string &e : scenario.keptUpper)
        EXPECT_TRUE(Contains(upper, e)) << "UpperFilters lost " << e;
    for (const std::string &e : scenario.keptLower)
        EXPECT_TRUE(Contains(lower, e)) << "LowerFilters lost " << e;

    // Rejected before anything was touched: the registry and the old log
    // are as they were.
    if (unsupported) {
        EXPECT_EQ(g_store->image(), g_registryBefore);
        EXPECT_EQ(LogBytes(), g_logBefore);
        return;
    }
    if (!single || IsLogCall(failedOp))
        return;

    // Every failure the wizard reports is in the log.
    std::vector<std::string> log = LogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "Operating System = Windows XP");
    if (noClassKey) {
        EXPECT_EQ(log, (std::vector<std::string>{"Operating System = Windows XP", kClassFail}));
        return;
    }
    for (const char *driver : {"Gravle2k", "kvt_2k", "Mbx7_xp"}) {
        std::string d = driver;
        const char *value = d == "Mbx7_xp" ? "LowerFilters" : "UpperFilters";
        bool done = false;
        for (const std::string &line : log)
            if (line.rfind("After create " + d + " in " + value + " values: ", 0) == 0)
                done = true;
        bool reported = Contains(log, "Fail - Missing " + d) ||
                        Contains(log, "Fail - Missing Service Key for " + d) ||
                        Contains(log, "Fail - Cannot create " + d + " in Filter");
        EXPECT_TRUE(done != reported) << d << " is neither done nor reported";
        auto key = std::find(log.begin(), log.end(), "Fail - Missing Service Key for " + d);
        if (key != log.end()) {
            EXPECT_EQ((key - 1)->rfind("Failed - Can't create ", 0), 0u) << d;
        }
        // A list that was written holds the driver as its last entry.
        std::vector<std::string> &list = d == "Mbx7_xp" ? lower : upper;
        if (done && d != "Gravle2k") {
            EXPECT_EQ(list.back(), d);
        }
    }
}

} // namespace

long RunFaultSweep(const SweepStore &store)
{
    g_store = &store;
    long runs = 0;
    for (const Scenario &scenario : Scenarios()) {
        SCOPED_TRACE(scenario.name);
        Prepare(scenario);
        EXPECT_EQ(RunRepairWizard(), 0);
        long count = memplat::OperationCount();
        std::vector<std::string> ops = memplat::OperationLog();
        EXPECT_GT(count, 20);
        for (bool single : {true, false}) {
            for (long n = 1; n <= count; n++) {
                SCOPED_TRACE((single ? "only call " : "from call ") + std::to_string(n) + ": " +
                             ops[n - 1]);
                Prepare(scenario);
                memplat::FailAt(n, !single);
                EXPECT_EQ(RunRepairWizard(), 0);
                memplat::FailAt(0, false);
                CheckRun(scenario, single, ops[n - 1]);
                runs++;
                if (::testing::Test::HasFailure())
                    return runs;
            }
        }
    }
    return runs;
}

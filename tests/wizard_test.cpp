// Whole runs of the wizard on the in-memory platform, checked by the boxes
// shown, the registry's end state and the log's exact bytes.
#include "harness.h"

#include "wizard/wizard.h"

using namespace harness;
using memplat::Box;
using memplat::Op;

namespace {

void ExpectBoxes(std::initializer_list<std::pair<const char *, UINT>> expected)
{
    const std::vector<Box> &boxes = memplat::Boxes();
    ASSERT_EQ(boxes.size(), expected.size());
    size_t i = 0;
    for (const auto &e : expected) {
        EXPECT_EQ(boxes[i].text, e.first) << "box " << i;
        EXPECT_EQ(boxes[i].caption, kCaption) << "box " << i;
        EXPECT_EQ(boxes[i].flags, e.second) << "box " << i;
        EXPECT_EQ(boxes[i].owner, nullptr) << "box " << i;
        i++;
    }
}

const UINT kQuestion = MB_YESNO | MB_ICONQUESTION;
const UINT kError = MB_OK | MB_ICONERROR;

void AllDriverFiles(const char *third = "Mbx7_xp")
{
    PutDriverFile("Gravle2k");
    PutDriverFile("kvt_2k");
    PutDriverFile(third);
}

// The values a created service key holds, in the order of writing.
void ExpectCreatedServiceKey(const std::string &driver, DWORD errorControl, bool enabled)
{
    std::string path = std::string(kServices) + "\\" + driver;
    std::vector<std::string> names = {"ErrorControl", "Tag", "Type", "Start", "Group"};
    if (enabled)
        names.insert(names.begin() + 1, "Enabled");
    EXPECT_EQ(memplat::ValueNames(path), names) << driver;
    DWORD type;
    std::string data;
    ASSERT_TRUE(memplat::GetValue(path, "ErrorControl", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(data, Dword(errorControl));
    if (enabled) {
        ASSERT_TRUE(memplat::GetValue(path, "Enabled", &type, &data));
        EXPECT_EQ(data, Dword(1));
    }
    ASSERT_TRUE(memplat::GetValue(path, "Tag", &type, &data));
    EXPECT_EQ(data, Dword(6));
    ASSERT_TRUE(memplat::GetValue(path, "Type", &type, &data));
    EXPECT_EQ(data, Dword(1));
    ASSERT_TRUE(memplat::GetValue(path, "Start", &type, &data));
    EXPECT_EQ(data, Dword(1));
    ASSERT_TRUE(memplat::GetValue(path, "Group", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(data, std::string("Filter", 7));
}

class WizardRun : public PlatformTest {};

TEST_F(WizardRun, DecliningAtTheFirstBoxTouchesNothing)
{
    RegisterService("cdrom");
    memplat::PutValue(kClassKey, "UpperFilters", REG_MULTI_SZ, MultiSz({"stale"}));
    AllDriverFiles();
    memplat::PutFile(kLogPath, "old log");
    std::string before = memplat::Dump();
    memplat::QueueAnswers({IDNO});

    EXPECT_EQ(RunRepairWizard(), 0);

    ExpectBoxes({{kConfirm, kQuestion}});
    EXPECT_EQ(memplat::Dump(), before);
    EXPECT_EQ(LogBytes(), "old log");
    EXPECT_TRUE(memplat::TokenCalls().empty());
}

TEST_F(WizardRun, UnsupportedSystemsShowTheErrorBoxAndKeepTheOldLog)
{
    struct Case {
        const char *name;
        memplat::Version version;
    } cases[] = {
        {"Windows 98", {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1998, false}},
        {"NT 4.0", {VER_PLATFORM_WIN32_NT, 4, 0, 1381, false}},
        {"6.0", {VER_PLATFORM_WIN32_NT, 6, 0, 6000, false}},
        {"6.1", {VER_PLATFORM_WIN32_NT, 6, 1, 7600, false}},
        {"extended query fails", {VER_PLATFORM_WIN32_NT, 5, 1, 2600, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memplat::Reset();
        memplat::SetVersion(c.version);
        AllDriverFiles();
        memplat::PutFile(kLogPath, "old log");
        std::string before = memplat::Dump();
        memplat::QueueAnswers({IDYES});

        EXPECT_EQ(RunRepairWizard(), 0);

        ExpectBoxes({{kConfirm, kQuestion}, {kUnsupported, kError}});
        EXPECT_EQ(memplat::Dump(), before);
        EXPECT_EQ(LogBytes(), "old log");
        EXPECT_EQ(memplat::OpenHandleCount(), 0);
    }
}

// Which third driver, which system line, and whether the restart enables the
// shutdown privilege first, by the version reported.
TEST_F(WizardRun, TheVersionPicksTheThirdDriverTheSystemLineAndThePrivilegeStep)
{
    struct Case {
        const char *name;
        memplat::Version version;
        const char *systemLine;
        const char *third;
        bool privilege;
    } cases[] = {
        {"5.0", {VER_PLATFORM_WIN32_NT, 5, 0, 2195, false}, "Operating System = Windows 2K", "Mbx7_2k", true},
        {"5.1", {VER_PLATFORM_WIN32_NT, 5, 1, 2600, false}, "Operating System = Windows XP", "Mbx7_xp", true},
        {"5.2", {VER_PLATFORM_WIN32_NT, 5, 2, 3790, false}, "Operating System = Windows XP", "Mbx7_xp", true},
        {"unknown platform", {3, 5, 0, 1, false}, "Operating System = Windows XP", "Mbx7_xp", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memplat::Reset();
        LogFilePath[0] = '\0';
        memplat::SetVersion(c.version);
        // Only the third driver's file is there, so only it is repaired.
        PutDriverFile(c.third);
        memplat::QueueAnswers({IDYES, IDYES});

        EXPECT_EQ(RunRepairWizard(), 0);

        ExpectBoxes({{kConfirm, kQuestion}, {kRestart, kQuestion}});
        std::string third = c.third;
        EXPECT_EQ(LogBytes(), Entries({c.systemLine, "Fail - Missing Gravle2k", "Fail - Missing kvt_2k",
                                       "After create " + third + " in LowerFilters values: " + third}));
        EXPECT_EQ(ClassValue("LowerFilters"), MultiSz({c.third}));
        EXPECT_TRUE(memplat::KeyExists(std::string(kServices) + "\\" + c.third));
        std::vector<std::string> restart;
        if (c.privilege)
            restart = {"OpenProcessToken(self, 0x28)",
                       "LookupPrivilegeValueA(local, SeShutdownPrivilege)",
                       "AdjustTokenPrivileges(token, disable=0, count=1, luid=19, attributes=2, 0, "
                       "no previous, no length)",
                       "CloseHandle(token)"};
        restart.push_back("ExitWindowsEx(0x2, 0)");
        EXPECT_EQ(memplat::TokenCalls(), restart);
    }
}

TEST_F(WizardRun, AFreshSystemGetsAllThreeDriversSetUp)
{
    AllDriverFiles();
    memplat::QueueAnswers({IDYES, IDNO});

    EXPECT_EQ(RunRepairWizard(), 0);

    ExpectBoxes({{kConfirm, kQuestion}, {kRestart, kQuestion}});
    DWORD type;
    EXPECT_EQ(ClassValue("UpperFilters", &type), MultiSz({"Gravle2k", "kvt_2k"}));
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(ClassValue("LowerFilters", &type), MultiSz({"Mbx7_xp"}));
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    ExpectCreatedServiceKey("Gravle2k", 0, true);
    ExpectCreatedServiceKey("kvt_2k", 0, false);
    ExpectCreatedServiceKey("Mbx7_xp", 1, true);
    std::string parameters = std::string(kServices) + "\\Gravle2k\\Parameters";
    EXPECT_EQ(memplat::ValueNames(parameters), std::vector<std::string>{"ExcludeMiniports"});
    DWORD t;
    std::string data;
    ASSERT_TRUE(memplat::GetValue(parameters, "ExcludeMiniports", &t, &data));
    EXPECT_EQ(t, (DWORD)REG_SZ);
    EXPECT_EQ(data, std::string(1, '\0'));
    EXPECT_EQ(memplat::SubkeyNames(kServices),
              (std::vector<std::string>{"Gravle2k", "kvt_2k", "Mbx7_xp"}));

    EXPECT_EQ(LogBytes(),
              Entries({"Operating System = Windows XP",
                       "After create Gravle2k in UpperFilters values: Gravle2k",
                       "Before create kvt_2k in UpperFilters values: Gravle2k",
                       "After create kvt_2k in UpperFilters values: Gravle2k|kvt_2k",
                       "After create Mbx7_xp in LowerFilters values: Mbx7_xp"}));
    EXPECT_TRUE(memplat::TokenCalls().empty());
}

TEST_F(WizardRun, Windows2000SetsUpItsOwnLowerFilter)
{
    memplat::SetVersion({VER_PLATFORM_WIN32_NT, 5, 0, 2195, false});
    AllDriverFiles("Mbx7_2k");
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    EXPECT_EQ(ClassValue("LowerFilters"), MultiSz({"Mbx7_2k"}));
    ExpectCreatedServiceKey("Mbx7_2k", 1, true);
    EXPECT_FALSE(memplat::KeyExists(std::string(kServices) + "\\Mbx7_xp"));
    EXPECT_EQ(LogBytes().substr(0, Entry("Operating System = Windows 2K").size()),
              Entry("Operating System = Windows 2K"));
}

TEST_F(WizardRun, ExistingServiceKeysAndRegisteredFiltersAreKept)
{
    // Service keys that exist are taken as they are, even empty ones.
    memplat::PutDword(std::string(kServices) + "\\gravle2k", "Start", 3);
    RegisterService("KVT_2K");
    RegisterService("Mbx7_xp");
    RegisterService("cdrom");
    RegisterService("imapi");
    RegisterService("redbook");
    AllDriverFiles();
    memplat::PutValue(kClassKey, "UpperFilters", REG_MULTI_SZ,
                      MultiSz({"redbook", "GRAVLE2K", "stale", "a?b", "ab", "imapi", "oldgravle2kx"}));
    memplat::PutValue(kClassKey, "LowerFilters", REG_SZ, std::string("cdrom", 6));
    std::string servicesBefore = memplat::Dump();
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"redbook", "imapi", "Gravle2k", "kvt_2k"}));
    EXPECT_EQ(ClassValue("LowerFilters"), MultiSz({"Mbx7_xp"}));
    EXPECT_EQ(memplat::ValueNames(std::string(kServices) + "\\gravle2k"),
              std::vector<std::string>{"Start"});
    EXPECT_FALSE(memplat::KeyExists(std::string(kServices) + "\\gravle2k\\Parameters"));
    EXPECT_TRUE(memplat::ValueNames(std::string(kServices) + "\\KVT_2K").empty());
    EXPECT_EQ(memplat::SubkeyNames(kServices),
              (std::vector<std::string>{"cdrom", "gravle2k", "imapi", "KVT_2K", "Mbx7_xp", "redbook"}));
    EXPECT_EQ(LogBytes(),
              Entries({"Operating System = Windows XP",
                       "Before create Gravle2k in UpperFilters values: redbook|GRAVLE2K|stale|a?b|ab|imapi|oldgravle2kx",
                       "After create Gravle2k in UpperFilters values: redbook|imapi|Gravle2k",
                       "Before create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k",
                       "After create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k|kvt_2k",
                       "After create Mbx7_xp in LowerFilters values: Mbx7_xp"}));
}

TEST_F(WizardRun, WithoutDriverFilesOnlyTheClassKeyIsCreated)
{
    memplat::PutFile(kLogPath, "previous run");
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    ExpectBoxes({{kConfirm, kQuestion}, {kRestart, kQuestion}});
    EXPECT_TRUE(memplat::KeyExists(kClassKey));
    EXPECT_TRUE(memplat::ValueNames(kClassKey).empty());
    EXPECT_FALSE(memplat::KeyExists(kServices));
    EXPECT_EQ(LogBytes(), Entries({"Operating System = Windows XP", "Fail - Missing Gravle2k",
                                   "Fail - Missing kvt_2k", "Fail - Missing Mbx7_xp"}));
}

TEST_F(WizardRun, AClassKeyThatCannotBeCreatedEndsTheRun)
{
    AllDriverFiles();
    memplat::FailOn(Op::CreateKey, kClassKey);
    memplat::QueueAnswers({IDYES, IDYES});

    RunRepairWizard();

    ExpectBoxes({{kConfirm, kQuestion}, {kNoClassKey, kError}});
    EXPECT_EQ(LogBytes(), Entries({"Operating System = Windows XP", kClassFail}));
    EXPECT_FALSE(memplat::KeyExists(kServices));
    EXPECT_TRUE(memplat::TokenCalls().empty());
}

TEST_F(WizardRun, EachFailingStepIsLoggedAndTheNextDriverStillRuns)
{
    AllDriverFiles();
    RegisterService("redbook");
    memplat::PutValue(kClassKey, "UpperFilters", REG_MULTI_SZ, MultiSz({"redbook"}));
    memplat::FailOn(Op::CreateKey, std::string(kServices) + "\\Gravle2k\\Parameters");
    memplat::FailOn(Op::SetValue, std::string(kServices) + "\\kvt_2k", "ErrorControl");
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    EXPECT_EQ(LogBytes(), Entries({"Operating System = Windows XP",
                                   "Failed - Can't create Parameters key for Gravle2k",
                                   "Fail - Missing Service Key for Gravle2k",
                                   "Failed - Can't create Service keys",
                                   "Fail - Missing Service Key for kvt_2k",
                                   "After create Mbx7_xp in LowerFilters values: Mbx7_xp"}));
    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"redbook"}));
    EXPECT_FALSE(memplat::KeyExists(std::string(kServices) + "\\Gravle2k"));
    // The key was created by the failed write's open, and holds nothing.
    EXPECT_TRUE(memplat::ValueNames(std::string(kServices) + "\\kvt_2k").empty());
    ExpectBoxes({{kConfirm, kQuestion}, {kRestart, kQuestion}});
}

TEST_F(WizardRun, AFilterValueThatCannotBeWrittenIsLoggedPerDriver)
{
    AllDriverFiles();
    memplat::FailOn(Op::SetValue, kClassKey, "UpperFilters");
    // The later service values fail silently; the key still counts as made.
    memplat::FailOn(Op::SetValue, std::string(kServices) + "\\Mbx7_xp", "Group");
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    EXPECT_EQ(LogBytes(), Entries({"Operating System = Windows XP",
                                   "Fail - Cannot create Gravle2k in Filter",
                                   "Fail - Cannot create kvt_2k in Filter",
                                   "After create Mbx7_xp in LowerFilters values: Mbx7_xp"}));
    EXPECT_EQ(ClassValue("UpperFilters"), "<absent>");
    EXPECT_EQ(memplat::ValueNames(std::string(kServices) + "\\Mbx7_xp"),
              (std::vector<std::string>{"ErrorControl", "Enabled", "Tag", "Type", "Start"}));
}

TEST_F(WizardRun, TheRestartIsRequestedOnlyOnYesAndFailsSilently)
{
    struct Case {
        const char *name;
        int answer;
        Op failing;
        std::vector<std::string> calls;
    } cases[] = {
        {"No", IDNO, Op::MessageBox, {}},
        {"token not opened", IDYES, Op::OpenToken, {"OpenProcessToken(self, 0x28)"}},
        {"privilege not adjusted", IDYES, Op::AdjustPrivileges,
         {"OpenProcessToken(self, 0x28)", "LookupPrivilegeValueA(local, SeShutdownPrivilege)",
          "AdjustTokenPrivileges(token, disable=0, count=1, luid=19, attributes=2, 0, no previous, no length)",
          "CloseHandle(token)"}},
        {"lookup fails, restart still asked", IDYES, Op::LookupPrivilege,
         {"OpenProcessToken(self, 0x28)", "LookupPrivilegeValueA(local, SeShutdownPrivilege)",
          "AdjustTokenPrivileges(token, disable=0, count=1, luid=0, attributes=2, 0, no previous, no length)",
          "CloseHandle(token)", "ExitWindowsEx(0x2, 0)"}},
        {"restart refused", IDYES, Op::ExitWindows,
         {"OpenProcessToken(self, 0x28)", "LookupPrivilegeValueA(local, SeShutdownPrivilege)",
          "AdjustTokenPrivileges(token, disable=0, count=1, luid=19, attributes=2, 0, no previous, no length)",
          "CloseHandle(token)", "ExitWindowsEx(0x2, 0)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memplat::Reset();
        LogFilePath[0] = '\0';
        if (c.answer == IDYES)
            memplat::FailOn(c.failing, "");
        memplat::QueueAnswers({IDYES, c.answer});

        EXPECT_EQ(RunRepairWizard(), 0);

        EXPECT_EQ(memplat::Boxes().size(), 2u);
        EXPECT_EQ(memplat::TokenCalls(), c.calls);
        EXPECT_EQ(memplat::OpenHandleCount(), 0);
    }
}

TEST_F(WizardRun, AMissingTempFolderDropsTheLogButNotTheRepair)
{
    memplat::RemoveFolder("C:\\WINDOWS\\Temp");
    AllDriverFiles();
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    EXPECT_EQ(LogBytes(), "<no log>");
    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"Gravle2k", "kvt_2k"}));
    ExpectBoxes({{kConfirm, kQuestion}, {kRestart, kQuestion}});
}

TEST_F(WizardRun, AnOldLogIsReplacedAndOneThatCannotBeDeletedIsAppendedTo)
{
    memplat::PutFile(kLogPath, "last run\r\n");
    memplat::QueueAnswers({IDYES, IDNO});
    RunRepairWizard();
    std::string fresh = LogBytes();
    EXPECT_EQ(fresh.substr(0, Entry("Operating System = Windows XP").size()),
              Entry("Operating System = Windows XP"));

    memplat::Reset();
    LogFilePath[0] = '\0';
    memplat::PutFile(kLogPath, "last run\r\n");
    memplat::FailOn(Op::DeleteFile, kLogPath);
    memplat::QueueAnswers({IDYES, IDNO});
    RunRepairWizard();
    EXPECT_EQ(LogBytes(), "last run\r\n" + fresh);
}

TEST_F(WizardRun, AWindowsDirectoryTooLongForTheLogPathSwitchesLoggingOff)
{
    // 245 characters: the directory fits 260, the log path does not.
    std::string windows = "C:\\" + std::string(242, 'W');
    memplat::SetDirectories(windows, windows + "\\system32");
    memplat::QueueAnswers({IDYES, IDNO});

    RunRepairWizard();

    EXPECT_TRUE(memplat::KeyExists(kClassKey));
    EXPECT_EQ(LogFilePath[0], '\0');
    for (const std::string &op : memplat::OperationLog()) {
        EXPECT_EQ(op.find("DeleteFileA"), std::string::npos) << op;
        EXPECT_EQ(op.find("CreateFileA " + windows + "\\Temp"), std::string::npos) << op;
    }
    ExpectBoxes({{kConfirm, kQuestion}, {kRestart, kQuestion}});
}

} // namespace

// The merge of a driver into a filter list, and the list text of its log
// lines, on the in-memory registry.
#include "harness.h"

#include "repair/filter_list.h"

#include <algorithm>

using namespace harness;
using memplat::Op;

namespace {

class FilterList : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        strcpy(LogFilePath, kLogPath);
        memplat::AddKey(kClassKey);
    }

    // Merges driver into UpperFilters through a class key handle, as the
    // wizard does, and returns the result.
    int Merge(const char *driver, const char *value = "UpperFilters")
    {
        HKEY key;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &key, NULL),
                  ERROR_SUCCESS);
        int result = MergeFilterList(key, value, driver);
        RegCloseKey(key);
        return result;
    }

    void Store(const std::string &data, DWORD type = REG_MULTI_SZ)
    {
        memplat::PutValue(kClassKey, "UpperFilters", type, data);
    }
};

std::string Text(const std::string &list)
{
    char text[kListTextMax + 1];
    FormatFilterList(reinterpret_cast<const BYTE *>(list.data()), (DWORD)list.size(), text);
    return text;
}

TEST_F(FilterList, AnAbsentOrForeignValueIsReplacedByTheDriverAlone)
{
    EXPECT_EQ(Merge("Gravle2k"), 1);
    EXPECT_EQ(ClassValue("UpperFilters"), std::string("Gravle2k\0\0", 10));
    EXPECT_EQ(LogBytes(), Entry("After create Gravle2k in UpperFilters values: Gravle2k"));

    memplat::Reset();
    strcpy(LogFilePath, kLogPath);
    RegisterService("redbook");
    Store(std::string("redbook", 8), REG_SZ);
    EXPECT_EQ(Merge("Gravle2k"), 1);
    DWORD type;
    EXPECT_EQ(ClassValue("UpperFilters", &type), std::string("Gravle2k\0\0", 10));
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(LogBytes(), Entry("After create Gravle2k in UpperFilters values: Gravle2k"));
}

TEST_F(FilterList, AnEmptyListIsLoggedBeforeTheDriverIsWritten)
{
    for (const std::string &data : {std::string(), std::string(1, '\0'), std::string(5, '\0')}) {
        SCOPED_TRACE(data.size());
        memplat::Reset();
        strcpy(LogFilePath, kLogPath);
        Store(data);
        EXPECT_EQ(Merge("Gravle2k"), 1);
        EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"Gravle2k"}));
        EXPECT_EQ(LogBytes(), Entries({"Before create Gravle2k in UpperFilters values: ",
                                       "After create Gravle2k in UpperFilters values: Gravle2k"}));
    }
}

// Each stored list, the services registered, and the list written back.
TEST_F(FilterList, TheWalkKeepsOnlyRegisteredEntriesInTheirStoredOrderAndSpelling)
{
    struct Case {
        const char *name;
        std::string stored;
        std::vector<std::string> registered;
        std::string written;
        std::string before;
    } cases[] = {
        {"driver first, then a registered entry", MultiSz({"Gravle2k", "redbook"}), {"redbook"},
         MultiSz({"redbook", "Gravle2k"}), "Gravle2k|redbook"},
        {"driver in capitals", MultiSz({"GRAVLE2K"}), {"GRAVLE2K"}, MultiSz({"Gravle2k"}), "GRAVLE2K"},
        {"longer name holding the driver", MultiSz({"xgravle2kold", "redbook"}), {"xgravle2kold", "redbook"},
         MultiSz({"redbook", "Gravle2k"}), "xgravle2kold|redbook"},
        {"two characters against three", MultiSz({"ab", "abc"}), {"ab", "abc"}, MultiSz({"abc", "Gravle2k"}),
         "ab|abc"},
        {"question mark", MultiSz({"red?book", "?"}), {"red?book"}, MultiSz({"Gravle2k"}), "red?book|?"},
        {"unregistered", MultiSz({"stale", "redbook"}), {"redbook"}, MultiSz({"redbook", "Gravle2k"}),
         "stale|redbook"},
        {"empty entry inside", std::string("redbook\0\0imapi\0\0", 16), {"redbook", "imapi"},
         MultiSz({"redbook", "imapi", "Gravle2k"}), "redbook"},
        {"no closing NUL", std::string("redbook\0imapi", 13), {"redbook", "imapi"},
         MultiSz({"redbook", "imapi", "Gravle2k"}), "redbook|imapi"},
        {"no NUL at all, last entry dropped", std::string("redbook\0st", 10), {"redbook"},
         MultiSz({"redbook", "Gravle2k"}), "redbook|st"},
        {"lower case kept", MultiSz({"redbook", "Imapi"}), {"REDBOOK", "imapi"},
         MultiSz({"redbook", "Imapi", "Gravle2k"}), "redbook|Imapi"},
        {"equal entries all kept", MultiSz({"imapi", "IMAPI"}), {"imapi"},
         MultiSz({"imapi", "IMAPI", "Gravle2k"}), "imapi|IMAPI"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memplat::Reset();
        strcpy(LogFilePath, kLogPath);
        for (const std::string &s : c.registered)
            RegisterService(s);
        Store(c.stored);

        EXPECT_EQ(Merge("Gravle2k"), 1);

        EXPECT_EQ(ClassValue("UpperFilters"), c.written);
        std::string after = Text(c.written);
        EXPECT_EQ(LogBytes(), Entries({"Before create Gravle2k in UpperFilters values: " + c.before,
                                       "After create Gravle2k in UpperFilters values: " + after}));
    }
}

TEST_F(FilterList, TheListTextShowsAtMost259CharactersOr260EndingInABar)
{
    EXPECT_EQ(Text(""), "");
    EXPECT_EQ(Text(MultiSz({"a", "bc", "def"})), "a|bc|def");
    EXPECT_EQ(Text(std::string("ab\0\0cd\0\0", 8)), "ab");
    EXPECT_EQ(Text(std::string("\0ab\0", 4)), "|ab");

    std::string longEntry(300, 'x');
    EXPECT_EQ(Text(MultiSz({longEntry})), std::string(259, 'x'));
    // The 260th character is the bar: it stays.
    EXPECT_EQ(Text(MultiSz({std::string(259, 'x'), "yz"})), std::string(259, 'x') + "|");
    // The bar is the 259th: the character after it is cut.
    EXPECT_EQ(Text(MultiSz({std::string(258, 'x'), "yz"})), std::string(258, 'x') + "|");
    // Exactly 259 characters, then the end.
    EXPECT_EQ(Text(MultiSz({std::string(259, 'x')})), std::string(259, 'x'));
    EXPECT_EQ(Text(MultiSz({std::string(260, 'x')})), std::string(259, 'x'));
}

// A list of more than 512 bytes is read whole and merged like any other.
TEST_F(FilterList, ALongListIsMergedWholeAndItsTextStillCut)
{
    std::vector<std::string> names;
    std::string stored;
    std::string expected;
    for (int i = 0; i < 90; i++) {
        char name[32];
        snprintf(name, sizeof name, "filter%02d", i);
        names.push_back(name);
        if (i % 3 != 2)
            RegisterService(name);
        stored += std::string(name) + '\0';
        if (i % 3 != 2)
            expected += std::string(name) + '\0';
    }
    stored += '\0';
    expected += std::string("Gravle2k") + '\0' + '\0';
    ASSERT_GT(stored.size(), 512u);
    ASSERT_GT(expected.size(), 512u);
    Store(stored);

    EXPECT_EQ(Merge("Gravle2k"), 1);

    EXPECT_EQ(ClassValue("UpperFilters"), expected);
    std::string log = LogBytes();
    std::string before = "Before create Gravle2k in UpperFilters values: " + Text(stored);
    EXPECT_EQ(Text(stored).size(), 259u);
    EXPECT_EQ(log.substr(0, Entry(before).size()), Entry(before));
    EXPECT_EQ(log.substr(Entry(before).size()),
              Entry("After create Gravle2k in UpperFilters values: " + Text(expected)));
}

TEST_F(FilterList, AListThatExistsButCannotBeReadIsLeftAlone)
{
    RegisterService("redbook");
    Store(MultiSz({"redbook"}));
    memplat::FailOn(Op::QueryValue, kClassKey, "UpperFilters", ERROR_REGISTRY_IO_FAILED);

    EXPECT_EQ(Merge("Gravle2k"), 0);

    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"redbook"}));
    EXPECT_EQ(LogBytes(), "<no log>");
}

TEST_F(FilterList, AFailedWriteReturnsZeroAndLogsNoAfterLine)
{
    RegisterService("redbook");
    Store(MultiSz({"stale", "redbook"}));
    memplat::FailOn(Op::SetValue, kClassKey, "UpperFilters");

    EXPECT_EQ(Merge("Gravle2k"), 0);

    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"stale", "redbook"}));
    EXPECT_EQ(LogBytes(), Entry("Before create Gravle2k in UpperFilters values: stale|redbook"));
}

TEST_F(FilterList, EntriesOfAnyLengthAreLookedUpSafely)
{
    std::string registered(240, 'r');
    RegisterService(registered);
    std::string huge(5000, 'h');
    Store(MultiSz({huge, registered, std::string(256, 'q')}));

    EXPECT_EQ(Merge("Gravle2k"), 1);

    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({registered, "Gravle2k"}));
}

TEST_F(FilterList, TheLookupGetsTheLowercasedEntry)
{
    RegisterService("Redbook");
    Store(MultiSz({"REDBOOK"}));

    Merge("Gravle2k");

    std::vector<std::string> opened;
    for (const std::string &op : memplat::OperationLog())
        if (op.rfind("RegOpenKeyExA", 0) == 0)
            opened.push_back(op);
    EXPECT_NE(std::find(opened.begin(), opened.end(),
                        "RegOpenKeyExA SYSTEM\\CurrentControlSet\\services\\redbook"),
              opened.end());
    EXPECT_EQ(ClassValue("UpperFilters"), MultiSz({"REDBOOK", "Gravle2k"}));
}

} // namespace

// The in-memory platform behaves as the Windows registry and file calls do
// where the repair relies on them.
#include "harness.h"

using namespace harness;
using memplat::Op;

namespace {

class MemoryPlatform : public PlatformTest {};

TEST_F(MemoryPlatform, KeysAndValuesIgnoreCaseAndKeepTheirSpelling)
{
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Soft\\Mixed\\Case", 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, NULL, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, (const BYTE *)"v", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "NAME", 0, REG_SZ, (const BYTE *)"w", 2), ERROR_SUCCESS);
    RegCloseKey(key);

    HKEY again;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFT\\mixed\\CASE", 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, NULL, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    EXPECT_EQ(memplat::SubkeyNames("soft"), std::vector<std::string>{"Mixed"});
    EXPECT_EQ(memplat::ValueNames("Soft\\Mixed\\Case"), std::vector<std::string>{"Name"});
    std::string data;
    memplat::GetValue("Soft\\Mixed\\Case", "name", nullptr, &data);
    EXPECT_EQ(data, std::string("w", 2));

    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Soft\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(MemoryPlatform, QueriesAnswerMoreDataWithTheSizeAndNotFoundForAbsentValues)
{
    memplat::PutValue("K", "List", REG_MULTI_SZ, MultiSz({"abcdef"}));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE small[4];
    DWORD type = 0, size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "list", NULL, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    BYTE big[16];
    size = sizeof big;
    EXPECT_EQ(RegQueryValueExA(key, "LIST", NULL, &type, big, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    size = sizeof big;
    EXPECT_EQ(RegQueryValueExA(key, "Other", NULL, &type, big, &size), ERROR_FILE_NOT_FOUND);

    // Read access does not let a value be written.
    EXPECT_EQ(RegSetValueExA(key, "List", 0, REG_SZ, (const BYTE *)"", 1), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(MemoryPlatform, EnumerationAnswersMoreDataForLongNamesAndNoMoreItemsPastTheEnd)
{
    memplat::AddKey("P\\bbbbbbbbbb");
    memplat::AddKey("P\\A");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[8];
    DWORD capacity = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &capacity, NULL, NULL, NULL, NULL), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
    EXPECT_EQ(capacity, 1u);
    capacity = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &capacity, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    capacity = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 2, name, &capacity, NULL, NULL, NULL, NULL), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(memplat::OpenHandleCount(), 1);
    RegCloseKey(key);
}

TEST_F(MemoryPlatform, FaultsMatchByPathAndValueAndByTheirPlaceInTheRun)
{
    memplat::FailOn(Op::SetValue, "K", "Bad", ERROR_WRITE_FAULT);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "k", 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              NULL, &key, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "bad", 0, REG_SZ, (const BYTE *)"", 1), ERROR_WRITE_FAULT);
    EXPECT_EQ(RegSetValueExA(key, "Good", 0, REG_SZ, (const BYTE *)"", 1), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(memplat::OperationCount(), 3);

    memplat::FailAt(5, false);
    HKEY a, b, c;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &a), ERROR_SUCCESS);
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &b), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &c), ERROR_SUCCESS);
    RegCloseKey(a);
    RegCloseKey(c);
    memplat::FailAt(7, true);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &a), ERROR_ACCESS_DENIED);
    char directory[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(directory, sizeof directory), 0u);
    EXPECT_EQ(memplat::OperationCount(), 8);
}

TEST_F(MemoryPlatform, FilesResolveBelowTheWindowsDirectoryOnly)
{
    memplat::PutFile("C:\\WINDOWS\\system32\\drivers\\Gravle2k.SYS", "x");
    EXPECT_TRUE(FileExists("c:\\windows\\SYSTEM32\\DRIVERS\\gravle2k.sys"));
    EXPECT_FALSE(FileExists("C:\\WINDOWS\\system32\\drivers\\kvt_2k.sys"));
    EXPECT_FALSE(FileExists("C:\\WINDOWS\\..\\WINDOWS\\system32\\drivers\\gravle2k.sys"));
    EXPECT_FALSE(FileExists("D:\\system32\\drivers\\gravle2k.sys"));
    EXPECT_FALSE(FileExists("C:\\WINDOWS\\system32\\drivers"));
    EXPECT_EQ(memplat::OpenHandleCount(), 0);

    char directory[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(directory, sizeof directory), 10u);
    EXPECT_STREQ(directory, "C:\\WINDOWS");
    EXPECT_EQ(GetSystemDirectoryA(directory, 5), 20u);
}

} // namespace

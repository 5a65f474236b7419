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

// The same file calls on files in a host folder and on files in memory, one
// line per answer and the files' bytes at the end.
std::string FileCalls(memplat::Files files)
{
    memplat::Reset(files);
    std::string out;
    auto note = [&](const char *what, long long value) { out += what + ("=" + std::to_string(value)) + "\n"; };
    const char *log = "C:\\WINDOWS\\Temp\\Tessaril.log";
    const char *other = "C:\\WINDOWS\\Temp\\b.txt";
    const HANDLE bad = INVALID_HANDLE_VALUE;
    DWORD written = 7;
    // Appending creates the file, then adds after what is there; the path is
    // read without regard to case, runs of "\" as one.
    for (const char *path : {log, "c:\\windows\\TEMP\\\\tessaril.LOG"}) {
        HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
        note("append", h != bad);
        note("write", WriteFile(h, "ab\r\n", 4, &written, NULL));
        note("written", written);
        note("close", CloseHandle(h));
    }
    // A reading handle writes nothing; CREATE_NEW does not open what exists;
    // writing opens at the start.
    HANDLE h = CreateFileA(log, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    note("read", h != bad);
    note("write on read", WriteFile(h, "x", 1, &written, NULL));
    note("written", written);
    CloseHandle(h);
    note("create new over", CreateFileA(log, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL) != bad);
    h = CreateFileA(other, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    WriteFile(h, "12345", 5, &written, NULL);
    CloseHandle(h);
    h = CreateFileA(other, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    WriteFile(h, "ab", 2, &written, NULL);
    CloseHandle(h);
    // What cannot be opened.
    note("missing folder", CreateFileA("C:\\WINDOWS\\Nowhere\\x", FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, 0, NULL) != bad);
    note("a folder", CreateFileA("C:\\WINDOWS\\Temp", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) != bad);
    note("outside", CreateFileA("C:\\Other\\x", FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, 0, NULL) != bad);
    note("dot dot", CreateFileA("C:\\WINDOWS\\Temp\\..\\x", FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, 0, NULL) != bad);
    note("missing", CreateFileA("C:\\WINDOWS\\Temp\\none", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) != bad);
    note("no access", CreateFileA(log, 0, 0, NULL, OPEN_EXISTING, 0, NULL) != bad);
    // Deleting: never a folder; an open file goes, its handle writes on.
    note("delete folder", DeleteFileA("C:\\WINDOWS\\Temp"));
    h = CreateFileA(other, FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, 0, NULL);
    note("delete open", DeleteFileA("c:\\windows\\temp\\B.TXT"));
    note("delete again", DeleteFileA(other));
    note("write deleted", WriteFile(h, "z", 1, &written, NULL));
    note("close", CloseHandle(h));
    note("close again", CloseHandle(h));
    std::string bytes;
    note("read log", memplat::ReadFile(log, &bytes));
    out += bytes;
    note("read deleted", memplat::ReadFile(other, &bytes));
    memplat::PutFile("C:\\WINDOWS\\system32\\drivers\\kvt_2k.sys", "driver");
    memplat::RemoveFolder("C:\\WINDOWS\\system32");
    note("removed with its folder", memplat::ReadFile("C:\\WINDOWS\\system32\\drivers\\kvt_2k.sys", &bytes));
    note("open handles", memplat::OpenHandleCount());
    return out;
}

// Files in memory (the fuzzer's) answer every call as host files do.
TEST_F(MemoryPlatform, FilesInMemoryAnswerAsHostFilesDo)
{
    const std::string expected = "append=1\nwrite=1\nwritten=4\nclose=1\n"
                                 "append=1\nwrite=1\nwritten=4\nclose=1\n"
                                 "read=1\nwrite on read=0\nwritten=0\ncreate new over=0\n"
                                 "missing folder=0\na folder=0\noutside=0\ndot dot=0\nmissing=0\nno access=0\n"
                                 "delete folder=0\ndelete open=1\ndelete again=0\nwrite deleted=1\nclose=1\n"
                                 "close again=0\nread log=1\nab\r\nab\r\nread deleted=0\n"
                                 "removed with its folder=0\nopen handles=0\n";
    EXPECT_EQ(FileCalls(memplat::Files::Host), expected);
    EXPECT_EQ(FileCalls(memplat::Files::Memory), expected);
}

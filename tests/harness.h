// Shared set-up for the tests on the in-memory platform.
#ifndef TESSARIL_TESTS_HARNESS_H
#define TESSARIL_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "log/repair_log.h"
#include "testing/memory/memory_platform.h"
#include "readback.h"
#include "wizard/os_detect.h"

namespace harness {

const char kClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}";
const char kServices[] = "SYSTEM\\CurrentControlSet\\Services";
const char kLogPath[] = "C:\\WINDOWS\\Temp\\Tessaril.log";
const char kDrivers[] = "C:\\WINDOWS\\system32\\drivers\\";

// The boxes and the lines of the wizard, as the user sees them.
const char kCaption[] = "Tessaril Wizard";
const char kConfirm[] =
    "Tessaril is ready to perform the registry checking and repair.\n\n\t Would you like to continue.?";
const char kUnsupported[] = "This utility will run only in Windows 2000 and in Windows XP";
const char kNoClassKey[] = "Cannot open the Filter Key";
const char kRestart[] =
    "You must restart your system for the configuration changes made to UpperFilter & LowerFilter "
    "to take effect.\n\n\t\tClick Yes to restart now or No if you plan to restart later";
const char kClassFail[] =
    "Fail - Cannot create HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    "{4D36E965-E325-11CE-BFC1-08002BE10318}";

// A REG_MULTI_SZ image: each entry and its NUL, then the closing NUL.
inline std::string MultiSz(std::initializer_list<std::string> entries)
{
    std::string out;
    for (const std::string &e : entries)
        out += e + std::string(1, '\0');
    return out + std::string(1, '\0');
}

// The bytes one log entry occupies in the file.
inline std::string Entry(const std::string &message)
{
    std::string out;
    readback::AppendEntry(&out, message);
    return out;
}

inline std::string Entries(std::initializer_list<std::string> messages)
{
    std::string out;
    for (const std::string &m : messages)
        out += Entry(m);
    return out;
}

inline std::string Dword(DWORD v)
{
    std::string d;
    for (int i = 0; i < 4; i++)
        d += (char)((v >> (8 * i)) & 0xFF);
    return d;
}

inline void RegisterService(const std::string &name)
{
    memplat::AddKey(std::string(kServices) + "\\" + name);
}

inline void PutDriverFile(const std::string &driver)
{
    memplat::PutFile(std::string(kDrivers) + driver + ".sys", "MZ");
}

inline std::string LogBytes()
{
    std::string bytes;
    if (!memplat::ReadFile(kLogPath, &bytes))
        return "<no log>";
    return bytes;
}

inline std::string ClassValue(const char *name, DWORD *type = nullptr)
{
    std::string data;
    if (!memplat::GetValue(kClassKey, name, type, &data))
        return "<absent>";
    return data;
}

// Every test starts from an empty platform, an XP system, and no log path.
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        memplat::Reset();
        LogFilePath[0] = '\0';
        g_OperatingSystem = OperatingSystem();
    }
    void TearDown() override { EXPECT_EQ(memplat::OpenHandleCount(), 0) << "a handle was left open"; }
};

} // namespace harness

#endif

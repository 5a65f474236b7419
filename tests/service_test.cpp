// The service registration lookup, the service key provisioning and the
// composite registry write.
#include "harness.h"

#include "platform/registry.h"
#include "repair/service_key.h"
#include "repair/service_lookup.h"

using namespace harness;
using memplat::Op;

namespace {

class Services : public PlatformTest {};

TEST_F(Services, TheLookupIgnoresCaseAndReadsBackslashesAsPaths)
{
    RegisterService("Redbook");
    memplat::AddKey(std::string(kServices) + "\\Outer\\Inner");
    EXPECT_EQ(IsServiceRegistered("redbook"), 1);
    EXPECT_EQ(IsServiceRegistered("REDBOOK"), 1);
    EXPECT_EQ(IsServiceRegistered("redbook2"), 0);
    EXPECT_EQ(IsServiceRegistered("outer\\inner"), 1);
    EXPECT_EQ(IsServiceRegistered("outer\\missing"), 0);
}

TEST_F(Services, WhenTheDirectOpenIsDeniedTheEnumerationFindsTheService)
{
    RegisterService("aaa");
    RegisterService("Redbook");
    RegisterService("zzz");
    memplat::FailOn(Op::OpenKey, std::string("SYSTEM\\CurrentControlSet\\services\\redbook"));
    EXPECT_EQ(IsServiceRegistered("redbook"), 1);
    EXPECT_EQ(IsServiceRegistered("missing"), 0);

    // With the services key unreadable too, nothing can be found.
    memplat::FailOn(Op::OpenKey, "SYSTEM\\CurrentControlSet\\services");
    EXPECT_EQ(IsServiceRegistered("redbook"), 0);
}

TEST_F(Services, AnEnumerationErrorEndsTheSearchButALongSiblingNameDoesNot)
{
    RegisterService(std::string(255, 'a')); // sorts before the service
    RegisterService("redbook");
    memplat::FailOn(Op::OpenKey, "SYSTEM\\CurrentControlSet\\services\\redbook");
    EXPECT_EQ(IsServiceRegistered("redbook"), 1);

    memplat::FailOn(Op::EnumKey, "SYSTEM\\CurrentControlSet\\services", "", ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(IsServiceRegistered("redbook"), 0);
}

TEST_F(Services, NamesTooLongForAKeyAreNotRegistered)
{
    std::string longest(255, 'n');
    RegisterService(longest);
    EXPECT_EQ(IsServiceRegistered(longest.c_str()), 1);
    EXPECT_EQ(IsServiceRegistered((longest + "n").c_str()), 0);
    EXPECT_EQ(IsServiceRegistered(std::string(100000, 'n').c_str()), 0);
}

TEST_F(Services, AnExistingServiceKeyIsNeverChanged)
{
    memplat::AddKey(std::string(kServices) + "\\kvt_2k");
    memplat::PutDword(std::string(kServices) + "\\MBX7_XP", "Start", 4);
    std::string before = memplat::Dump();
    EXPECT_TRUE(EnsureServiceKey("kvt_2k"));
    EXPECT_TRUE(EnsureServiceKey("Mbx7_xp"));
    EXPECT_EQ(memplat::Dump(), before);
}

TEST_F(Services, LaterValuesFailSilentlyAndTheKeyStillCounts)
{
    strcpy(LogFilePath, kLogPath);
    memplat::FailOn(Op::SetValue, std::string(kServices) + "\\Mbx7_2k", "Enabled");
    EXPECT_TRUE(EnsureServiceKey("Mbx7_2k"));
    EXPECT_EQ(memplat::ValueNames(std::string(kServices) + "\\Mbx7_2k"),
              (std::vector<std::string>{"ErrorControl", "Tag", "Type", "Start", "Group"}));
    DWORD type;
    std::string data;
    memplat::GetValue(std::string(kServices) + "\\Mbx7_2k", "ErrorControl", &type, &data);
    EXPECT_EQ(data, Dword(1));
    EXPECT_EQ(LogBytes(), "<no log>");
}

TEST_F(Services, SetRegistryValueCreatesTheChainAndClosesAfterAFailedWrite)
{
    const BYTE data[] = {1, 0, 0, 0};
    EXPECT_TRUE(SetRegistryValue(HKEY_LOCAL_MACHINE, "A\\B\\C", "V", REG_DWORD, data, 4));
    EXPECT_TRUE(memplat::KeyExists("a\\b\\c"));
    std::string stored;
    EXPECT_TRUE(memplat::GetValue("A\\B\\C", "v", nullptr, &stored));
    EXPECT_EQ(stored, Dword(1));

    memplat::FailOn(Op::SetValue, "A\\B\\D", "V");
    EXPECT_FALSE(SetRegistryValue(HKEY_LOCAL_MACHINE, "A\\B\\D", "V", REG_DWORD, data, 4));
    EXPECT_TRUE(memplat::KeyExists("A\\B\\D"));
    EXPECT_EQ(memplat::OpenHandleCount(), 0);

    memplat::FailOn(Op::CreateKey, "A\\E");
    EXPECT_FALSE(SetRegistryValue(HKEY_LOCAL_MACHINE, "A\\E", "V", REG_DWORD, data, 4));
    EXPECT_FALSE(memplat::KeyExists("A\\E"));
}

} // namespace

// The fault sweep over the hive store: the same scenarios, faults and
// invariants as over the in-memory store, with the SYSTEM hive of a sample
// installation behind the registry front and the other platform calls the
// in-memory platform's.
#include "fault_sweep.h"
#include "harness.h"
#include "offline_harness.h"

#include "platform/emulated/registry_front.h"
#include "platform/offline/hivex_store.h"
#include "testing/offline_messages.h"

namespace {

const char kHive[] = "C:\\WINDOWS\\system32\\config\\system";
std::string g_sampleHive;

std::string HiveBytes()
{
    char message[2048];
    EXPECT_TRUE(OfflineCommitAll(message, sizeof message)) << message;
    std::string bytes;
    EXPECT_TRUE(memplat::ReadFile(kHive, &bytes));
    return bytes;
}

void Prepare(const char *, const std::function<void()> &setUp)
{
    memplat::PutFile(kHive, g_sampleHive);
    char message[2048];
    ASSERT_EQ(kHiveLoaded, OfflineLoadHive(kOfflineSystem, kHive, kHive, message, sizeof message))
        << message;
    // One handle held across the set-up, so that it is written once, when
    // that handle is closed.
    const RegistryCalls &front = *RegistryFrontCalls();
    HKEY system = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, front.openKey(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &system));
    setUp();
    ASSERT_EQ(ERROR_SUCCESS, front.closeKey(system));
}

} // namespace

TEST(OfflineFaultSweep, NothingIsLostWhicheverCallFails)
{
    std::string windows = offline::MakeSample(offline::FreshFolder("sweep"),
                                              {"--filler", "0", "--no-class-key", "--drivers", "none"});
    ASSERT_FALSE(windows.empty());
    g_sampleHive = offline::ReadFile(windows + "/system32/config/system");
    SweepStore hives;
    hives.prepare = Prepare;
    hives.image = HiveBytes;
    long runs = RunFaultSweep(hives);
    OfflineUnloadAll();
    RecordProperty("runs", (int)runs);
    EXPECT_GT(runs, 100);
}

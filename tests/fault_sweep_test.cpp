// The fault sweep over the in-memory store.
#include "fault_sweep.h"

#include "harness.h"

TEST(FaultSweep, NothingIsLostWhicheverCallFails)
{
    SweepStore memory;
    memory.prepare = [](const char *, const std::function<void()> &setUp) { setUp(); };
    memory.image = [] { return memplat::Dump(); };
    long runs = RunFaultSweep(memory);
    RecordProperty("runs", (int)runs);
    EXPECT_GT(runs, 100);
}

// The registry sequence on the in-memory platform.
#include "registry_sequence.h"

#include "testing/memory/memory_platform.h"

int main(void)
{
    memplat::Reset();
    memplat::AddKey("SYSTEM\\CurrentControlSet\\Services");
    RunRegistrySequence(stdout);
    printf("open handles at the end: %d\n", memplat::OpenHandleCount());
    return 0;
}

// WOW64 file system redirection, turned off around the driver file test.
#include "platform/files.h"

namespace {

typedef BOOL(WINAPI *IsWow64ProcessCall)(HANDLE process, PBOOL wow64);
typedef BOOL(WINAPI *DisableRedirectionCall)(PVOID *state);
typedef BOOL(WINAPI *RevertRedirectionCall)(PVOID state);

// A kernel32 function that not every Windows has (IsWow64Process came with
// XP SP2, the redirection calls with the 64-bit editions of XP and Server
// 2003): looked up when needed, so that the program still loads on the
// systems without it. NULL where it is missing.
template <typename Call>
Call Kernel32Function(const char *name)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL)
        return NULL;
    // Through the generic function type, which any function pointer casts to.
    return reinterpret_cast<Call>(reinterpret_cast<void (*)(void)>(GetProcAddress(kernel32, name)));
}

} // namespace

bool SuspendFileRedirection(void **state)
{
    *state = NULL;
    IsWow64ProcessCall isWow64Process = Kernel32Function<IsWow64ProcessCall>("IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64Process == NULL || !isWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return false;
    DisableRedirectionCall disable =
        Kernel32Function<DisableRedirectionCall>("Wow64DisableWow64FsRedirection");
    return disable != NULL && disable(state);
}

void ResumeFileRedirection(void *state)
{
    RevertRedirectionCall revert =
        Kernel32Function<RevertRedirectionCall>("Wow64RevertWow64FsRedirection");
    if (revert != NULL)
        revert(state);
}

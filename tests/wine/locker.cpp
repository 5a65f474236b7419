// Test helper run under Wine: puts a registry key or a file out of the
// program's reach, the way another program or an administrator could.
//
//   locker.exe dacl KEY SDDL           gives HKLM\KEY the DACL of SDDL
//   locker.exe hold FILE READY STOP    holds FILE open, sharing nothing
//
// dacl replaces the DACL of an existing key (nothing else of its security)
// with the one of SDDL, e.g. "D:(D;;0xf003f;;;WD)". Wine keeps a key's
// DACL only in the running wineserver, so this must run in the session of
// the program under test. It opens the key with WRITE_DAC alone, which the
// key's owner has whatever the DACL says: the same command lifts a DACL that
// denies everything.
//
// hold opens FILE for reading and writing with share mode 0, so that every
// other open fails with a sharing violation, then creates READY and waits
// until STOP exists. It gives up after two minutes so that a broken run
// cannot hang the test.
//
// Exit code 0 on success; otherwise a line on stderr and exit code 1 (2 for
// a bad command line).
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

namespace {

const DWORD kPollMs = 20;
const DWORD kGiveUpMs = 120000;

int Failed(const char *what, const char *name, DWORD error)
{
    fprintf(stderr, "locker: %s %s: error %lu\n", what, name, (unsigned long)error);
    return 1;
}

int SetDacl(const char *path, const char *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              NULL))
        return Failed("cannot read", sddl, GetLastError());
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key);
    if (status != ERROR_SUCCESS) {
        LocalFree(descriptor);
        return Failed("cannot open", path, (DWORD)status);
    }
    status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    RegCloseKey(key);
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS)
        return Failed("cannot set the DACL of", path, (DWORD)status);
    return 0;
}

int Hold(const char *path, const char *ready, const char *stop)
{
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return Failed("cannot open", path, GetLastError());
    HANDLE signal = CreateFileA(ready, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (signal == INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return Failed("cannot create", ready, GetLastError());
    }
    CloseHandle(signal);
    DWORD waited = 0;
    while (GetFileAttributesA(stop) == INVALID_FILE_ATTRIBUTES && waited < kGiveUpMs) {
        Sleep(kPollMs);
        waited += kPollMs;
    }
    CloseHandle(file);
    if (waited >= kGiveUpMs)
        return Failed("nobody created", stop, ERROR_TIMEOUT);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && !strcmp(argv[1], "dacl"))
        return SetDacl(argv[2], argv[3]);
    if (argc == 5 && !strcmp(argv[1], "hold"))
        return Hold(argv[2], argv[3], argv[4]);
    fprintf(stderr, "usage: locker.exe dacl KEY SDDL | hold FILE READY STOP\n");
    return 2;
}

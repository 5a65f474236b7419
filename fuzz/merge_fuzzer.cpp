// Fuzzes the filter list merge and its log text: arbitrary stored bytes,
// value types and registered services. Checks what the merge promises:
// the driver written once and last, kept entries in their stored order and
// spelling and none that holds "?", is two characters or fewer or contains
// the driver's name; and a log of exactly the two entries, whose list texts
// are at most 260 characters of the list with "|" for its NULs.
//
// Everything, the log file included, lives in memory: nothing touches the
// disk.
//
// Input: byte 0 picks the value type, byte 1 seeds which entries are
// registered, byte 2 picks the driver; the rest is the stored value.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log/repair_log.h"
#include "platform/emulated/registry_front.h"
#include "tests/readback.h"
#include "repair/filter_list.h"
#include "testing/memory/memory_platform.h"

namespace {

const char kClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}";
const char kLogPath[] = "C:\\WINDOWS\\Temp\\Tessaril.log";
const char *const kDrivers[] = {"Gravle2k", "kvt_2k", "Mbx7_xp", "Mbx7_2k"};

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__);        \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

// An entry of the stored list, as the merge walks it: where it starts in the
// stored bytes, how long it is, and whether it is registered.
struct Entry {
    size_t at;
    size_t length;
    bool registered;
};

// The entries of the stored bytes: every NUL-terminated string up to the end
// of the data, empty ones included, and a last one without a NUL of its own.
void Split(const std::string &data, std::vector<Entry> *entries)
{
    entries->clear();
    for (size_t at = 0; at < data.size();) {
        const void *nul = memchr(data.data() + at, '\0', data.size() - at);
        size_t length = nul ? (size_t)((const char *)nul - (data.data() + at)) : data.size() - at;
        entries->push_back(Entry{at, length, false});
        at += length + 1;
    }
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 0x20) : c; }

// Registered or not, decided by the seed and the name, so that a name is
// registered in every spelling or in none: the hash's two low bits see only
// the two low bits of each byte, and a capital and its small letter differ
// only in higher ones (0x20 in ASCII and Latin-1, 0x10 or 0x60 for the other
// letters of Windows-1252).
bool Registered(const char *name, size_t length, uint8_t seed)
{
    if (length == 0 || length > 255 || memchr(name, '\\', length) != NULL)
        return false;
    uint32_t h = 2166136261u ^ seed;
    for (size_t i = 0; i < length; i++)
        h = (h ^ (uint8_t)name[i]) * 16777619u;
    return (h & 3) != 0;
}

// Of the registered entries, those the merge keeps: none that holds "?",
// holds the driver's name in any case of its ASCII letters, or is two
// characters or fewer.
bool Kept(const char *entry, size_t length, const char *driver)
{
    if (length <= 2 || memchr(entry, '?', length) != NULL)
        return false;
    size_t driverLength = strlen(driver);
    for (size_t at = 0; at + driverLength <= length; at++) {
        size_t i = 0;
        while (i < driverLength && LowerAscii(entry[at + i]) == LowerAscii(driver[i]))
            i++;
        if (i == driverLength)
            return false;
    }
    return true;
}

// The text the log gives a list: at most 260 characters, each the list's
// byte at its place, or "|" where the list has a NUL.
void ListText(const std::string &list, std::string *text)
{
    char buffer[kListTextMax + 1];
    FormatFilterList((const BYTE *)list.data(), (DWORD)list.size(), buffer);
    text->assign(buffer);
    CHECK(text->size() <= kListTextMax);
    for (size_t i = 0; i < text->size(); i++)
        CHECK((*text)[i] == (i < list.size() && list[i] != '\0' ? list[i] : '|'));
}

// An empty registry and no files. The merge runs on the registry front
// itself, and the file calls keep no record: no fault is injected here, and
// the fault layer's record of every call would cost more than the merge.
void StartFuzzing()
{
    memplat::Reset(memplat::Files::Memory);
    RegistryInstallCalls(RegistryFrontCalls());
    faults::LogCalls(false);
}

// What the input left goes before it ends: libFuzzer counts the allocations
// and frees of each input and looks for a leak (a slow scan of the whole
// heap) whenever they differ.
void EndInput()
{
    memplat::MountMemoryStore();
    DeleteFileA(kLogPath);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    static bool ready = false;
    if (!ready) {
        StartFuzzing();
        ready = true;
    }
    if (size < 3)
        return 0;
    strcpy(LogFilePath, kLogPath);

    // What each input builds is kept from one input to the next, so that an
    // input allocates little: under AddressSanitizer an allocation costs
    // more than a registry call.
    static std::string stored, expected, written, text, message, log, expectedLog;
    static std::vector<Entry> entries;

    DWORD type = input[0] < 200 ? REG_MULTI_SZ : (DWORD)(input[0] % 12);
    uint8_t seed = input[1];
    const char *driver = kDrivers[input[2] % 4];
    // "\" would make an entry a path below the services key: keep the model
    // of what is registered simple.
    stored.assign(reinterpret_cast<const char *>(input + 3), size - 3);
    for (char &c : stored)
        if (c == '\\')
            c = '/';

    // The class key first: it and the keys above it then take the same
    // places in the in-memory store for every input.
    HKEY key;
    CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, NULL, &key, NULL) == ERROR_SUCCESS);
    CHECK(RegSetValueExA(key, "UpperFilters", 0, type, (const BYTE *)stored.data(),
                         (DWORD)stored.size()) == ERROR_SUCCESS);
    Split(stored, &entries);
    HKEY services;
    CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\services", 0, NULL,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &services,
                          NULL) == ERROR_SUCCESS);
    for (Entry &e : entries) {
        e.registered = Registered(stored.data() + e.at, e.length, seed);
        if (e.registered) {
            char name[256];
            memcpy(name, stored.data() + e.at, e.length);
            name[e.length] = '\0';
            HKEY service;
            CHECK(RegCreateKeyExA(services, name, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  NULL, &service, NULL) == ERROR_SUCCESS);
            RegCloseKey(service);
        }
    }
    RegCloseKey(services);

    CHECK(MergeFilterList(key, "UpperFilters", driver) == 1);

    DWORD writtenType = REG_NONE, writtenSize = 0;
    CHECK(RegQueryValueExA(key, "UpperFilters", NULL, &writtenType, NULL, &writtenSize) ==
          ERROR_SUCCESS);
    written.resize(writtenSize);
    CHECK(RegQueryValueExA(key, "UpperFilters", NULL, &writtenType, (BYTE *)&written[0],
                           &writtenSize) == ERROR_SUCCESS);
    RegCloseKey(key);
    CHECK(memplat::OpenHandleCount() == 0);
    CHECK(writtenType == REG_MULTI_SZ);

    expected.clear();
    if (type == REG_MULTI_SZ)
        for (const Entry &e : entries)
            if (e.registered && Kept(stored.data() + e.at, e.length, driver))
                expected.append(stored, e.at, e.length).push_back('\0');
    expected.append(driver).append(2, '\0');
    CHECK(written == expected);

    // The log holds exactly the lists' texts: the stored list's before the
    // merge (for a list), the written one's after it.
    static const std::string logPath = kLogPath;
    expectedLog.clear();
    if (type == REG_MULTI_SZ) {
        ListText(stored, &text);
        message.assign("Before create ").append(driver).append(" in UpperFilters values: ").append(text);
        readback::AppendEntry(&expectedLog, message);
    }
    ListText(written, &text);
    message.assign("After create ").append(driver).append(" in UpperFilters values: ").append(text);
    readback::AppendEntry(&expectedLog, message);
    CHECK(memplat::ReadFile(logPath, &log));
    CHECK(log == expectedLog);

    EndInput();
    return 0;
}

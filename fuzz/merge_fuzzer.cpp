// Fuzzes the filter list merge and its log text: arbitrary stored bytes,
// value types and registered services. Checks what the merge promises:
// the driver written once and last, kept entries in their stored order and
// spelling and none that holds "?", is two characters or fewer or contains
// the driver's name, and a "Before create" text of at most 260 characters.
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
#include "platform/memory/memory_platform.h"
#include "tests/readback.h"
#include "repair/filter_list.h"

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

std::string Lower(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c + 0x20);
    return out;
}

// Registered or not, decided by the seed and the name, so that a name is
// registered in every spelling or in none: the hash's two low bits see only
// the two low bits of each byte, and a capital and its small letter differ
// only in higher ones (0x20 in ASCII and Latin-1, 0x10 or 0x60 for the other
// letters of Windows-1252).
bool Registered(const std::string &name, uint8_t seed)
{
    if (name.size() > 255 || name.find('\\') != std::string::npos)
        return false;
    uint32_t h = 2166136261u ^ seed;
    for (char c : name)
        h = (h ^ (uint8_t)c) * 16777619u;
    return (h & 3) != 0;
}

// Of the registered entries, those the merge keeps.
bool Kept(const std::string &entry, const std::string &driver)
{
    std::string lowered = Lower(entry);
    return lowered.find('?') == std::string::npos && lowered.find(Lower(driver)) == std::string::npos &&
           entry.size() > 2;
}

// The messages of the log.
std::vector<std::string> LogMessages()
{
    std::vector<std::string> messages;
    std::string bytes;
    if (memplat::ReadFile(kLogPath, &bytes))
        CHECK(readback::Parse(bytes, &messages));
    return messages;
}

// An empty registry and no files. The merge runs on the registry front
// itself, and the file calls keep no record: no fault is injected here, and
// the fault layer's record of every call would cost more than the merge.
void StartInput()
{
    memplat::Reset(memplat::Files::Memory);
    RegistryInstallCalls(RegistryFrontCalls());
    faults::LogCalls(false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    static bool ready = false;
    if (!ready) {
        StartInput();
        ready = true;
    }
    if (size < 3)
        return 0;
    strcpy(LogFilePath, kLogPath);

    DWORD type = input[0] < 200 ? REG_MULTI_SZ : (DWORD)(input[0] % 12);
    uint8_t seed = input[1];
    std::string driver = kDrivers[input[2] % 4];
    // "\" would make an entry a path below the services key: keep the model
    // of what is registered simple.
    std::string stored(reinterpret_cast<const char *>(input + 3), size - 3);
    for (char &c : stored)
        if (c == '\\')
            c = '/';

    // The class key first: it and the keys above it then take the same
    // places in the in-memory store for every input.
    memplat::PutValue(kClassKey, "UpperFilters", type, stored);
    std::vector<std::string> entries = readback::SplitMultiSz(stored);
    std::vector<bool> registered(entries.size());
    HKEY services;
    CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\services", 0, NULL,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &services,
                          NULL) == ERROR_SUCCESS);
    for (size_t i = 0; i < entries.size(); i++) {
        registered[i] = !entries[i].empty() && Registered(entries[i], seed);
        HKEY service;
        if (registered[i]) {
            CHECK(RegCreateKeyExA(services, entries[i].c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &service, NULL) == ERROR_SUCCESS);
            RegCloseKey(service);
        }
    }
    RegCloseKey(services);

    HKEY key;
    CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS);
    CHECK(MergeFilterList(key, "UpperFilters", driver.c_str()) == 1);
    RegCloseKey(key);
    CHECK(memplat::OpenHandleCount() == 0);

    DWORD writtenType;
    std::string written;
    CHECK(memplat::GetValue(kClassKey, "UpperFilters", &writtenType, &written));
    CHECK(writtenType == REG_MULTI_SZ);

    std::string expected;
    if (type == REG_MULTI_SZ)
        for (size_t i = 0; i < entries.size(); i++)
            if (registered[i] && Kept(entries[i], driver))
                expected += entries[i] + '\0';
    expected += driver + '\0' + '\0';
    CHECK(written == expected);

    std::vector<std::string> log = LogMessages();
    std::string beforePrefix = "Before create " + driver + " in UpperFilters values: ";
    std::string afterPrefix = "After create " + driver + " in UpperFilters values: ";
    CHECK(log.size() == (type == REG_MULTI_SZ ? 2u : 1u));
    if (type == REG_MULTI_SZ) {
        CHECK(log[0].compare(0, beforePrefix.size(), beforePrefix) == 0);
        std::string text = log[0].substr(beforePrefix.size());
        CHECK(text.size() <= kListTextMax);
        // The text is the stored list with "|" between its entries.
        for (size_t i = 0; i < text.size(); i++)
            CHECK(text[i] == (stored.size() > i && stored[i] != '\0' ? stored[i] : '|'));
    }
    CHECK(log.back().compare(0, afterPrefix.size(), afterPrefix) == 0);
    CHECK(log.back().size() - afterPrefix.size() <= kListTextMax);

    // The input's keys, values and log go before it ends: libFuzzer counts
    // the allocations and frees of each input and looks for a leak (a slow
    // scan of the whole heap) whenever they differ.
    StartInput();
    return 0;
}

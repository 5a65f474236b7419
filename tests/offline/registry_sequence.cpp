// The fixed registry call sequence, printed call by call.
#include "registry_sequence.h"

#include "platform/registry.h"

#include <string.h>

#include <initializer_list>

namespace {

const char kProbe[] = "SYSTEM\\CurrentControlSet\\Services\\Probe";

void Hex(FILE *out, const BYTE *data, DWORD size)
{
    for (DWORD i = 0; i < size; i++)
        fprintf(out, "%02x", data[i]);
}

void Query(FILE *out, HKEY key, const char *name, DWORD capacity)
{
    BYTE data[1024];
    memset(data, 0xAA, sizeof data);
    DWORD type = 99;
    DWORD size = capacity;
    LONG status = RegQueryValueExA(key, name, NULL, &type, capacity ? data : NULL, &size);
    fprintf(out, "query %s cap %u: %ld type %u size %u data ", name, (unsigned)capacity,
            (long)status, (unsigned)type, (unsigned)size);
    if (status == ERROR_SUCCESS && capacity)
        Hex(out, data, size);
    fprintf(out, "\n");
}

void Enum(FILE *out, HKEY key, DWORD index, DWORD capacity)
{
    char name[128];
    memset(name, 'z', sizeof name);
    DWORD cch = capacity;
    LONG status = RegEnumKeyExA(key, index, name, &cch, NULL, NULL, NULL, NULL);
    fprintf(out, "enum %u cap %u: %ld", (unsigned)index, (unsigned)capacity, (long)status);
    if (status == ERROR_SUCCESS)
        fprintf(out, " %s len %u", name, (unsigned)cch);
    fprintf(out, "\n");
}

} // namespace

void RunRegistrySequence(FILE *out)
{
    HKEY params = NULL, probe = NULL, other = NULL;
    DWORD disposition = 0;
    char noClass[1] = "";
    LONG s = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Probe\\Parameters",
                             0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &params,
                             &disposition);
    fprintf(out, "create chain: %ld disposition %u\n", (long)s, (unsigned)disposition);
    s = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\SERVICES\\probe\\parameters", 0,
                        NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &other, &disposition);
    fprintf(out, "create again, other case: %ld disposition %u\n", (long)s, (unsigned)disposition);
    fprintf(out, "close other: %ld\n", (long)RegCloseKey(other));
    fprintf(out, "close other again: %ld\n", (long)RegCloseKey(other));

    s = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Nope", 0, KEY_READ, &other);
    fprintf(out, "open missing: %ld\n", (long)s);
    s = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\CURRENTCONTROLSET\\services\\PROBE", 0, KEY_READ, &probe);
    fprintf(out, "open read-only: %ld\n", (long)s);
    const BYTE one[2] = {'a', 0};
    fprintf(out, "set on read-only: %ld\n", (long)RegSetValueExA(probe, "X", 0, REG_SZ, one, 2));
    s = RegCreateKeyExA(probe, "Sub", 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &other, NULL);
    fprintf(out, "create below read-only: %ld\n", (long)s);

    // A list longer than the merge's 512-byte buffer.
    BYTE list[700];
    DWORD n = 0;
    for (int i = 0; i < 30; i++)
        n += (DWORD)sprintf((char *)list + n, "Entry%02d_abcdefghijklm", i) + 1;
    list[n++] = 0;
    fprintf(out, "set list of %u: %ld\n", (unsigned)n,
            (long)RegSetValueExA(params, "UpperFilters", 0, REG_MULTI_SZ, list, n));
    Query(out, params, "UpperFilters", 512);
    Query(out, params, "upperfilters", n);
    Query(out, params, "UpperFilters", 0);
    Query(out, params, "Missing", 16);

    // Text in the code page: "Café" and the euro sign, as stored and read back.
    const BYTE cafe[] = {'C', 'a', 'f', 0xE9, ' ', 0x80, 0};
    fprintf(out, "set text: %ld\n", (long)RegSetValueExA(params, "Name", 0, REG_SZ, cafe, sizeof cafe));
    Query(out, params, "NAME", 64);
    Query(out, params, "Name", 6);
    const BYTE shorter[] = {'x', 0};
    fprintf(out, "replace, other case: %ld\n",
            (long)RegSetValueExA(params, "nAME", 0, REG_EXPAND_SZ, shorter, sizeof shorter));
    Query(out, params, "Name", 64);
    const BYTE seven[4] = {7, 0, 0, 0};
    fprintf(out, "set dword: %ld\n", (long)RegSetValueExA(params, "Count", 0, REG_DWORD, seven, 4));
    Query(out, params, "Count", 4);
    const BYTE bin[3] = {0xE9, 0x00, 0x80};
    fprintf(out, "set binary: %ld\n", (long)RegSetValueExA(params, "Raw", 0, REG_BINARY, bin, 3));
    Query(out, params, "Raw", 3);
    fprintf(out, "set empty string: %ld\n",
            (long)RegSetValueExA(params, "Empty", 0, REG_SZ, (const BYTE *)"", 1));
    Query(out, params, "Empty", 8);

    // Names that sort apart by upper and by lower case, or by their
    // characters and their UTF-8 bytes ("\xCAx" and "\xE9x", "Êx" and "éx" in
    // Windows-1252, sort as "ÊX" and "ÉX"), created out of order.
    for (const char *name : {"kvt_2k", "_x", "KVT[", "B", "kvtx", "a", "\xCAx", "\xE9x"}) {
        s = RegCreateKeyExA(params, name, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                            &other, NULL);
        fprintf(out, "create %s: %ld\n", name, (long)s);
        if (s == ERROR_SUCCESS)
            RegCloseKey(other);
    }
    for (DWORD i = 0; i < 9; i++)
        Enum(out, params, i, 100);

    Enum(out, probe, 0, 100);
    Enum(out, probe, 0, 10);
    Enum(out, probe, 0, 11);
    Enum(out, probe, 1, 100);

    fprintf(out, "close params: %ld\n", (long)RegCloseKey(params));
    fprintf(out, "close probe: %ld\n", (long)RegCloseKey(probe));
    fprintf(out, "close probe again: %ld\n", (long)RegCloseKey(probe));
    fprintf(out, "close unknown: %ld\n", (long)RegCloseKey((HKEY)(uintptr_t)0x1234));
    fprintf(out, "close HKLM: %ld\n", (long)RegCloseKey(HKEY_LOCAL_MACHINE));
    s = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProbe, 0, KEY_READ, &probe);
    fprintf(out, "reopen: %ld\n", (long)s);
    if (s == ERROR_SUCCESS) {
        Enum(out, probe, 0, 100);
        RegCloseKey(probe);
    }
}

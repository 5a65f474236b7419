// Arbitrary bytes as the SYSTEM hive of a scratch installation (a good
// SOFTWARE hive of XP beside it, the three driver files, a Temp folder),
// opened, repaired and closed through the offline backend as the tessaril
// program does it, both answers given. Besides no crash, hang or runaway
// allocation, it checks after every run:
//   - a hive the whole-hive check takes, hivex reads whole: every key, its
//     name, values and their data (hivex's own caps aside), so that the check
//     lets nothing through that breaks hivex, sanitized in the fuzz build;
//   - bytes hivex refuses are never written: the file is as it was;
//   - whatever is written is a hive whose base block the load takes
//     (RegfCheckBaseBlock: equal sequence numbers, a right checksum, its bins
//     in the file) and that hivex opens again;
//   - the SOFTWARE hive is unchanged, no key handle or file is left open,
//     and nothing but the two hives is left in the config folder.
#include "platform/installation.h"
#include "platform/emulated/registry_front.h"
#include "platform/offline/hivex_store.h"
#include "platform/offline/regf_check.h"
#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_format.h"
#include "testing/offline_messages.h"
#include "platform/offline/scripted_answers.h"
#include "platform/posix/host_files.h"
#include "testing/regf_writer.h"
#include "wizard/wizard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

std::string g_config;   // .../WINDOWS/system32/config
std::string g_system;   // its SYSTEM hive
std::string g_input;    // a copy of the input, for hivex to judge
std::string g_software; // the SOFTWARE hive's bytes

void Die(const char *what)
{
    fprintf(stderr, "hive_fuzzer: %s\n", what);
    abort();
}

void WriteWhole(const std::string &path, const uint8_t *data, size_t size)
{
    if (!WriteWholeFile(path, std::string((const char *)data, size)))
        Die("cannot write a scratch file");
}

std::string ReadWhole(const std::string &path)
{
    std::string out;
    ReadWholeFile(path, &out);
    return out;
}

// A SOFTWARE hive that says Windows XP.
void WriteSoftware(const std::string &path)
{
    RegfKey root;
    RegfPath(root, "Microsoft\\Windows NT\\CurrentVersion").values = {
        {"CurrentVersion", 1, Utf16("5.1")}};
    std::string error;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !WriteRegfHive(fd, 5, "ROOT", root, &error))
        Die("cannot write the SOFTWARE hive");
    close(fd);
}

std::string g_scratch; // the scratch folder, removed at exit

void RemoveScratch()
{
    std::string command = "rm -rf '" + g_scratch + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "hive_fuzzer: %s could not be removed\n", g_scratch.c_str());
}

void Setup()
{
    // In memory when the machine offers it: the save flushes every hive it
    // writes, which on a disk costs more than the run itself.
    struct stat shm;
    char base[] = "/dev/shm/tessaril-hive-fuzz-XXXXXX";
    if (stat("/dev/shm", &shm) != 0 || !S_ISDIR(shm.st_mode) || access("/dev/shm", W_OK) != 0)
        memcpy(base, "/tmp/tessaril-hive-fuzz-XXXXXX", sizeof "/tmp/tessaril-hive-fuzz-XXXXXX");
    if (mkdtemp(base) == NULL)
        Die("cannot make the scratch folder");
    g_scratch = base;
    atexit(RemoveScratch);
    std::string windows = std::string(base) + "/WINDOWS";
    g_config = windows + "/system32/config";
    for (const std::string &d : {windows, windows + "/system32", g_config, windows + "/system32/drivers",
                                 windows + "/Temp"})
        if (mkdir(d.c_str(), 0755) != 0)
            Die("cannot make the scratch installation");
    for (const char *driver : {"Gravle2k", "kvt_2k", "Mbx7_xp"})
        WriteWhole(windows + "/system32/drivers/" + driver + ".sys", (const uint8_t *)"MZ", 2);
    WriteSoftware(g_config + "/software");
    g_software = ReadWhole(g_config + "/software");
    g_system = g_config + "/system";
    g_input = std::string(base) + "/input";
    setenv("TESSARIL_SYSTEMROOT", windows.c_str(), 1);
    // The boxes print on standard output; libFuzzer reports on standard error.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, 1) < 0)
        Die("cannot quiet standard output");
    close(null);
}

// Every key of the hive below node, its name, values and their data, read
// with hivex; false when hivex cannot read one for what the hive holds (its
// caps on subkeys, values and data lengths, and names it cannot convert, are
// hivex's own). The hive has passed the check: no key is reached twice, and
// keys are at most kRegfCheckMaxDepth deep.
bool WalkWithHivex(hive_h *h, hive_node_h node)
{
    errno = 0;
    char *name = hivex_node_name(h, node);
    if (name == NULL && errno != EILSEQ)
        return false;
    free(name);
    hive_value_h *values = hivex_node_values(h, node);
    if (values == NULL)
        return errno == ERANGE;
    bool ok = true;
    for (size_t i = 0; ok && values[i] != 0; i++) {
        errno = 0;
        char *key = hivex_value_key(h, values[i]);
        ok = key != NULL || errno == EILSEQ;
        free(key);
        hive_type type;
        size_t length = 0;
        errno = 0;
        char *data = ok ? hivex_value_value(h, values[i], &type, &length) : NULL;
        ok = ok && (data != NULL || errno == ERANGE);
        free(data);
    }
    free(values);
    hive_node_h *children = ok ? hivex_node_children(h, node) : NULL;
    if (children == NULL)
        return ok && errno == ERANGE;
    for (size_t i = 0; ok && children[i] != 0; i++)
        ok = WalkWithHivex(h, children[i]);
    free(children);
    return ok;
}

void CheckedMeansReadable(const uint8_t *data, size_t size)
{
    WriteWhole(g_input, data, size);
    int fd = open(g_input.c_str(), O_RDONLY | O_CLOEXEC);
    RegfCheckReport report;
    RegfHeader header;
    // The check runs on a hive whose base block and size the load has
    // checked first.
    bool checked = fd >= 0 && RegfCheckBaseBlock(data, size, size, &header) == kRegfBaseOk &&
                   RegfCheckHive(fd, &report);
    if (fd >= 0)
        close(fd);
    if (!checked)
        return;
    hive_h *h = hivex_open(g_input.c_str(), HIVEX_OPEN_WRITE);
    if (h == NULL)
        Die("hivex refuses a hive the check takes");
    hive_node_h root = hivex_root(h);
    if (root == 0 || !WalkWithHivex(h, root))
        Die("hivex cannot read the whole of a hive the check takes");
    hivex_close(h);
}

bool OnlyTheHives()
{
    DIR *d = opendir(g_config.c_str());
    if (d == NULL)
        return false;
    bool ok = true;
    for (struct dirent *e = readdir(d); e != NULL; e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
            strcmp(e->d_name, "system") != 0 && strcmp(e->d_name, "software") != 0)
            ok = false;
    closedir(d);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    // A changed base block fails its checksum and is refused at once. For an
    // input of even length the checksum is made right, so that the fields
    // behind it (sequence numbers, version, root cell, size) are reached;
    // for one of odd length it stays as it came.
    std::string bytes((const char *)input, size);
    if (size >= kRegfBaseBlockSize && size % 2 == 0 && bytes.compare(regf_base::kSignature, 4, "regf") == 0)
        Put32(bytes, regf_base::kChecksum, RegfChecksum((const unsigned char *)bytes.data()));
    const uint8_t *data = (const uint8_t *)bytes.data();
    WriteWhole(g_system, data, size);
    char message[8192];
    if (OpenInstallation(getenv("TESSARIL_SYSTEMROOT"), message, sizeof message)) {
        OfflineScriptAnswers("y\nn\n");
        RunRepairWizard();
        OfflineScriptAnswers(NULL);
        fflush(stdout);
        CloseInstallation(message, sizeof message);
    }
    if (RegistryFrontOpenKeyCount() != 0)
        Die("a key handle was left open");
    if (HostOpenFileCount() != 0)
        Die("a file was left open");
    if (!OnlyTheHives())
        Die("a file was left beside the hives");
    if (ReadWhole(g_config + "/software") != g_software)
        Die("the SOFTWARE hive changed");

    CheckedMeansReadable(data, size);
    std::string after = ReadWhole(g_system);
    if (after.size() == size && memcmp(after.data(), data, size) == 0)
        return 0;
    // Written: hivex must have taken the input, and must take what came out.
    WriteWhole(g_input, data, size);
    hive_h *h = hivex_open(g_input.c_str(), HIVEX_OPEN_WRITE);
    if (h == NULL)
        Die("a hive that hivex refuses was written");
    hivex_close(h);
    RegfHeader header;
    if (RegfCheckBaseBlock((const unsigned char *)after.data(), after.size(), after.size(), &header) != kRegfBaseOk)
        Die("the hive written has a bad base block");
    h = hivex_open(g_system.c_str(), HIVEX_OPEN_WRITE);
    if (h == NULL)
        Die("the hive written is refused by hivex");
    hivex_close(h);
    return 0;
}

// Helpers of the offline tests: sample installations, program runs, hive readback.
#include "offline_harness.h"

#include "platform/offline/regf_format.h"
#include "testing/regf_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

extern char **environ;

namespace offline {

namespace {

RunResult RunTessarilAlone(const char *root, const std::string &input,
                           const std::vector<std::string> &args, const std::vector<std::string> &as);

const char *kYesNo = "Yes or No? ";

std::string Answers(const std::vector<std::string> &answers)
{
    std::string s;
    for (const std::string &a : answers)
        s += kYesNo + a + "\n";
    if (answers.empty())
        s += std::string(kYesNo) + "\n";
    return s;
}

hive_node_h Walk(hive_h *h, const std::string &keyPath)
{
    hive_node_h node = hivex_root(h);
    std::stringstream parts(keyPath);
    std::string part;
    while (node != 0 && std::getline(parts, part, '\\'))
        node = hivex_node_get_child(h, node, part.c_str());
    return node;
}

} // namespace

std::string WorkPath(const std::string &name)
{
    const char *work = getenv("TESSARIL_TEST_WORK");
    return std::string(work && *work ? work : TESSARIL_TEST_WORK) + "/" + name;
}

std::string FreshFolder(const std::string &name)
{
    std::string path = WorkPath(name);
    std::string cmd = "rm -rf '" + path + "' && mkdir -p '" + path + "'";
    if (system(cmd.c_str()) != 0)
        return "";
    return path;
}

namespace {

// Whether a user with no rights of its own may enter every folder of path.
bool OthersMayEnter(const std::string &path, std::string *why)
{
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == NULL) {
        *why = path + " cannot be resolved";
        return false;
    }
    for (std::string p = real; !p.empty(); p = p.substr(0, p.rfind('/'))) {
        struct stat st;
        if (stat(p.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) {
            *why = "other users may not enter " + p;
            return false;
        }
    }
    return true;
}

} // namespace

OtherUserFolder::OtherUserFolder(const std::string &name)
{
    std::string place;
    const char *work = getenv("TESSARIL_TEST_WORK");
    if (work != NULL && *work != '\0') {
        place = FreshFolder(name);
    } else {
        char temp[] = "/tmp/tessaril-test-XXXXXX";
        if (mkdtemp(temp) == NULL || chmod(temp, 0755) != 0) {
            why = std::string("no folder of its own can be made under /tmp: ") + strerror(errno);
            return;
        }
        made = temp;
        place = made + "/" + name;
        if (mkdir(place.c_str(), 0755) != 0) {
            why = "cannot make " + place + ": " + strerror(errno);
            return;
        }
    }
    if (!place.empty() && OthersMayEnter(place, &why))
        path = place;
}

OtherUserFolder::~OtherUserFolder()
{
    if (!made.empty())
        if (system(("chmod -R u+rwx '" + made + "' && rm -rf '" + made + "'").c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", made.c_str());
}

RunResult RunProgram(const std::vector<std::string> &argv, const char *root)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "TESSARIL_SYSTEMROOT=", 20) != 0)
            env.push_back(*e);
    if (root)
        env.push_back(std::string("TESSARIL_SYSTEMROOT=") + root);
    std::vector<char *> envp, args;
    for (std::string &e : env)
        envp.push_back(&e[0]);
    envp.push_back(NULL);
    std::vector<std::string> a = argv;
    for (std::string &s : a)
        args.push_back(&s[0]);
    args.push_back(NULL);

    char outName[] = "/tmp/tessaril-out-XXXXXX";
    char errName[] = "/tmp/tessaril-err-XXXXXX";
    int out = mkstemp(outName);
    int err = mkstemp(errName);
    RunResult r{-1, "", "", ""};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    close(out);
    close(err);
    r.out = ReadFile(outName);
    r.err = ReadFile(errName);
    // tessaril's summary: the lines that end its output beginning "tessaril: ".
    size_t end = r.out.size();
    while (end >= 2) {
        size_t start = r.out.rfind('\n', end - 2);
        start = start == std::string::npos ? 0 : start + 1;
        if (r.out.compare(start, 10, "tessaril: ") != 0)
            break;
        end = start;
    }
    r.summary = r.out.substr(end);
    r.out.erase(end);
    unlink(outName);
    unlink(errName);
    return r;
}

std::string MakeSample(const std::string &folder, const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {TESSARIL_MAKE_SAMPLE};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(folder);
    RunResult r = RunProgram(argv);
    if (r.exitCode != 0 || r.out.empty())
        return "";
    return r.out.substr(0, r.out.size() - 1);
}

namespace {

// The problems the checker finds, without the cell offsets and entry numbers
// that differ between two layouts of the same keys.
std::set<std::string> KernelProblems(const std::string &out)
{
    std::set<std::string> problems;
    std::stringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, 8, "PROBLEM:") == 0)
            problems.insert(std::regex_replace(line, std::regex("0x[0-9a-fA-F]+|#[0-9]+"), "N"));
    return problems;
}

} // namespace

::testing::AssertionResult KernelAccepts(const std::string &hive, const std::string *before)
{
    if (TESSARIL_CMCHECK[0] == '\0')
        return ::testing::AssertionSuccess();
    RunResult r = RunProgram({TESSARIL_CMCHECK, hive});
    if (r.exitCode == 0)
        return ::testing::AssertionSuccess();
    if (before != NULL && r.exitCode == 1) {
        // A hive the kernel refused already may keep what it refused.
        std::string old = WorkPath("kernel-check-before");
        WriteFile(old, *before);
        std::set<std::string> had = KernelProblems(RunProgram({TESSARIL_CMCHECK, old}).out);
        unlink(old.c_str());
        bool kept = true;
        for (const std::string &p : KernelProblems(r.out))
            kept = kept && had.count(p);
        if (kept)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the kernel's checks refuse " << hive << " (status "
                                         << r.exitCode << "):\n" << r.out << r.err;
}

namespace {

// The SYSTEM hives below the folders a run was given, by the inode each has
// now: a hive with another inode after the run is one the run rewrote. With
// bytes, the content of each too.
std::map<std::string, ino_t> SystemHives(const std::vector<std::string> &folders,
                                         std::map<std::string, std::string> *bytes = NULL)
{
    std::map<std::string, ino_t> hives;
    for (const std::string &folder : folders)
        for (const char *below : {"/system32/config/system", "/*/system32/config/system"}) {
            glob_t found;
            if (glob((folder + below).c_str(), 0, NULL, &found) == 0)
                for (size_t i = 0; i < found.gl_pathc; i++) {
                    struct stat st;
                    if (stat(found.gl_pathv[i], &st) != 0 || !S_ISREG(st.st_mode))
                        continue;
                    hives[found.gl_pathv[i]] = st.st_ino;
                    if (bytes != NULL && st.st_size <= (off_t)64 << 20)
                        (*bytes)[found.gl_pathv[i]] = ReadFile(found.gl_pathv[i]);
                }
            globfree(&found);
        }
    return hives;
}

} // namespace

RunResult RunTessaril(const char *root, const std::string &input,
                      const std::vector<std::string> &args, const std::vector<std::string> &as)
{
    std::vector<std::string> folders = args;
    if (root != NULL)
        folders.push_back(root);
    std::map<std::string, std::string> bytes;
    std::map<std::string, ino_t> before = SystemHives(folders, &bytes);
    RunResult r = RunTessarilAlone(root, input, args, as);
    for (const auto &hive : SystemHives(folders)) {
        if (!before.count(hive.first)) {
            EXPECT_TRUE(KernelAccepts(hive.first));
        } else if (before[hive.first] != hive.second) {
            EXPECT_TRUE(KernelAccepts(hive.first, bytes.count(hive.first) ? &bytes[hive.first] : NULL));
        }
    }
    return r;
}

namespace {

RunResult RunTessarilAlone(const char *root, const std::string &input,
                           const std::vector<std::string> &args, const std::vector<std::string> &as)
{
    char inName[] = "/tmp/tessaril-in-XXXXXX";
    int in = mkstemp(inName);
    if (write(in, input.data(), input.size()) != (ssize_t)input.size())
        return RunResult{-1, "", "cannot write the input", ""};
    close(in);
    std::string cmd = TESSARIL_EXE;
    // The program reads its standard input: give it the file through a shell,
    // which opens it before any change of user.
    std::vector<std::string> argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" < \"$f\"", "sh", inName};
    argv.insert(argv.end(), as.begin(), as.end());
    argv.push_back(cmd);
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProgram(argv, root);
    unlink(inName);
    return r;
}

} // namespace

std::string ReadFile(const std::string &path, bool *exists)
{
    std::ifstream f(path, std::ios::binary);
    if (exists)
        *exists = f.good();
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string Entry(const std::string &m) { return m + "\r\n\r\n" + m + "\r\n"; }

std::string ConfirmBox(const std::vector<std::string> &answers)
{
    return "\n[Tessaril Wizard]\nTessaril is ready to perform the registry checking and "
           "repair.\n\n\t Would you like to continue.?\n" +
           Answers(answers);
}

std::string RestartBox(const std::vector<std::string> &answers)
{
    return "\n[Tessaril Wizard]\nYou must restart your system for the configuration changes "
           "made to UpperFilter & LowerFilter to take effect.\n\n\t\tClick Yes to restart now "
           "or No if you plan to restart later\n" +
           Answers(answers);
}

std::string ErrorBox(const std::string &text) { return "\n[Tessaril Wizard]\n" + text + "\n"; }

bool HivexValue(const std::string &hive, const std::string &keyPath, const std::string &name,
                int *type, std::string *data)
{
    hive_h *h = hivex_open(hive.c_str(), 0);
    if (h == NULL)
        return false;
    bool ok = false;
    hive_node_h node = Walk(h, keyPath);
    hive_value_h v = node ? hivex_node_get_value(h, node, name.c_str()) : 0;
    if (v != 0) {
        hive_type t;
        size_t len;
        char *raw = hivex_value_value(h, v, &t, &len);
        if (raw) {
            *type = (int)t;
            data->assign(raw, len);
            free(raw);
            ok = true;
        }
    }
    hivex_close(h);
    return ok;
}

bool HivexKeyExists(const std::string &hive, const std::string &keyPath)
{
    hive_h *h = hivex_open(hive.c_str(), 0);
    if (h == NULL)
        return false;
    bool ok = Walk(h, keyPath) != 0;
    hivex_close(h);
    return ok;
}

std::vector<std::string> HivexSubkeys(const std::string &hive, const std::string &keyPath)
{
    std::vector<std::string> names;
    hive_h *h = hivex_open(hive.c_str(), 0);
    if (h == NULL)
        return names;
    hive_node_h node = Walk(h, keyPath);
    hive_node_h *kids = node ? hivex_node_children(h, node) : NULL;
    for (size_t i = 0; kids && kids[i]; i++) {
        char *n = hivex_node_name(h, kids[i]);
        names.push_back(n ? n : "");
        free(n);
    }
    free(kids);
    hivex_close(h);
    return names;
}

std::map<std::string, std::string> Reglookup(const std::string &hive)
{
    std::map<std::string, std::string> out;
    RunResult r = RunProgram({"/usr/bin/reglookup", "-H", hive});
    std::stringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        // PATH,TYPE,VALUE,MTIME
        size_t a = line.find(',');
        size_t b = a == std::string::npos ? a : line.find(',', a + 1);
        size_t c = b == std::string::npos ? b : line.find(',', b + 1);
        if (c == std::string::npos)
            continue;
        out[line.substr(0, a)] = line.substr(a + 1, c - a - 1);
    }
    return out;
}

std::map<std::string, std::string> Contents(const std::string &hive)
{
    std::map<std::string, std::string> seen = Reglookup(hive);
    for (auto &kv : seen)
        if (kv.second.compare(0, 4, "KEY,") == 0)
            kv.second = "KEY,";
    return seen;
}

CellCensus CountCells(const std::string &hive)
{
    CellCensus census{{}, 0, {}, false};
    std::string d = ReadFile(hive);
    if (d.size() < kRegfBinsStart + kRegfBinBlock || d.compare(regf_base::kSignature, 4, "regf") != 0)
        return census;
    std::vector<size_t> fastLeaves;
    bool whole = RegfWalkCells(d, [&](const RegfWalkedCell &cell) {
        if (!cell.used)
            return;
        std::string sig = d.substr(cell.at + 4, 2);
        if (sig == "lh" || sig == "lf" || sig == "li" || sig == "ri")
            census.lists[sig]++;
        if (sig == "lf" || sig == "lh")
            fastLeaves.push_back(cell.at + 4);
    });
    if (!whole)
        return census;
    for (size_t list : fastLeaves) {
        bool hashed = d[list + 1] == 'h';
        unsigned n = Get16(d, list + regf_list::kCount);
        for (unsigned i = 0; i < n; i++) {
            size_t nk = RegfFileOffset(Get32(d, list + regf_list::kEntries + 8 * i)) + 4;
            if (nk + regf_nk::kName > d.size() || d.compare(nk, 2, "nk") != 0) {
                census.badHints++;
                continue;
            }
            unsigned nameLen = Get16(d, nk + regf_nk::kNameLength);
            bool ascii = (Get16(d, nk + regf_nk::kFlags) & regf_nk::kFlagCompressed) != 0;
            std::string hint(4, '\0');
            for (unsigned j = 0; j < 4; j++) {
                if (ascii && j < nameLen)
                    hint[j] = d[nk + regf_nk::kName + j];
                else if (!ascii && 2 * j + 1 < nameLen)
                    hint[j] = d[nk + regf_nk::kName + 2 * j];
            }
            if (hashed)
                census.hashes[d.substr(nk + regf_nk::kName, nameLen)] = Get32(d, list + regf_list::kEntries + 8 * i + 4);
            if (hashed) {
                // Each character in upper case, h = h * 37 + c.
                uint32_t hash = 0;
                bool plain = ascii;
                for (unsigned j = 0; j < nameLen && plain; j++) {
                    char c = d[nk + regf_nk::kName + j];
                    plain = (unsigned char)c < 0x80;
                    hash = hash * 37 + (uint32_t)(c >= 'a' && c <= 'z' ? c - 0x20 : c);
                }
                if (plain && Get32(d, list + regf_list::kEntries + 8 * i + 4) != hash)
                    census.badHints++;
            } else if (d.compare(list + regf_list::kEntries + 8 * i + 4, 4, hint) != 0) {
                census.badHints++;
            }
        }
    }
    census.walked = true;
    return census;
}

void SequenceNumbers(const std::string &hive, unsigned *first, unsigned *second)
{
    std::string d = ReadFile(hive);
    *first = d.size() >= 12 ? Get32(d, regf_base::kSequence1) : 0;
    *second = d.size() >= 12 ? Get32(d, regf_base::kSequence2) : 0;
}


std::set<std::string> FolderNames(const std::string &path)
{
    std::set<std::string> names;
    DIR *d = opendir(path.c_str());
    for (struct dirent *e = d ? readdir(d) : NULL; e; e = readdir(d))
        // ntfs-3g keeps a file deleted while open as ".fuse_hidden..." until
        // its last handle is closed, and removes it soon after: the
        // file system's, not the program's.
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
            strncmp(e->d_name, ".fuse_hidden", 12) != 0)
            names.insert(e->d_name);
    if (d)
        closedir(d);
    return names;
}

size_t FindCell(const std::string &d, const char *sig, const std::string &name)
{
    size_t nameAt = std::string(sig) == "nk" ? regf_nk::kName : regf_vk::kName;
    for (size_t at = d.find(name); at != std::string::npos; at = d.find(name, at + 1))
        if (at >= nameAt && d.compare(at - nameAt, 2, sig) == 0)
            return at - nameAt;
    return std::string::npos;
}

const char *const kRealHiveNotices[3] = {"README.md", "LICENSE-regipy.txt", "NOTICE-bitcurator.txt"};

std::string RealHiveInstallation(const std::string &name, std::string *why)
{
    std::string source = std::string(TESSARIL_REAL_HIVES) + "/" + name + ".xz";
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
        *why = source + " is not there (the hives Windows wrote are kept beside the repository)";
        return "";
    }
    if (system("command -v xz >/dev/null") != 0) {
        *why = "xz is not installed";
        return "";
    }
    std::string windows = MakeSample(FreshFolder("real-" + name));
    std::string config = windows + "/system32/config";
    std::string unpack = "xz -dc '" + source + "' > '" + config + "/system'";
    for (const char *notice : kRealHiveNotices)
        unpack += " && cp '" + std::string(TESSARIL_REAL_HIVES) + "/" + notice + "' '" + config + "/'";
    if (windows.empty() || system(unpack.c_str()) != 0) {
        *why = "cannot unpack " + source;
        ADD_FAILURE() << *why;
        return "";
    }
    return windows;
}

} // namespace offline

// Writes a sample Windows 2000 or XP installation into a folder: the Windows
// directory with system32/config/system and software hives (written from
// nothing: an empty hive of our own, then filled through hivex),
// system32/drivers with the filter driver files, and Temp.
//
//   make_sample_installation [options] FOLDER
//
// The Windows directory is FOLDER/WINDOWS (FOLDER/WINNT for version 5.0);
// its path is printed on standard output.
#include "platform/offline/cp1252.h"
#include "platform/offline/regf_file.h"

#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: make_sample_installation [options] FOLDER\n"
    "  --version V       CurrentVersion of the SOFTWARE hive (default 5.1; 'none' leaves it out)\n"
    "  --format 1.3|1.5  hive format (default 1.3 for version 5.0, else 1.5)\n"
    "  --windir NAME     name of the Windows directory (default WINNT for 5.0, else WINDOWS)\n"
    "  --drivers LIST    driver files to put in system32/drivers, comma-separated, without\n"
    "                    .sys (default: the three of that version; 'none' for none)\n"
    "  --services LIST   service keys besides the usual ones, comma-separated\n"
    "  --filler N        further service keys named SampleSvc0001... (default 300)\n"
    "  --upper LIST      UpperFilters entries, '|'-separated, UTF-8 ('-': no value)\n"
    "  --lower LIST      LowerFilters entries, likewise\n"
    "  --filter-filler N further entries SampleSvc0001... appended to both lists\n"
    "  --current N       Select\\Current (default 1; 0 leaves the Select key out)\n"
    "  --control-sets N  how many ControlSet00x keys to write (default: Select\\Current)\n"
    "  --description N   give every service a Description of N characters (default 0)\n"
    "  --no-class-key    leave out the CD-ROM class key\n"
    "  --no-software     leave out the SOFTWARE hive\n"
    "  --no-temp         leave out the Temp folder\n"
    "  --mangle-case     spell folders and files in other cases than Windows does\n";

const char kClassGuid[] = "{4D36E965-E325-11CE-BFC1-08002BE10318}";

struct Options {
    std::string folder;
    std::string version = "5.1";
    int minor = -1;
    std::string windir;
    bool driversGiven = false;
    std::vector<std::string> drivers;
    std::vector<std::string> services;
    int filler = 300;
    bool upperGiven = false, lowerGiven = false;
    std::string upper, lower;
    int filterFiller = 0;
    int current = 1;
    int controlSets = -1;
    int description = 0;
    bool classKey = true;
    bool software = true;
    bool temp = true;
    bool mangle = false;
};

std::vector<std::string> Split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return out;
        start = at + 1;
    }
}

void PutUtf16(uint32_t cp, std::string &out)
{
    auto unit = [&](uint32_t u) {
        out.push_back((char)(u & 0xFF));
        out.push_back((char)(u >> 8));
    };
    if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(0xD800 + (cp >> 10));
        unit(0xDC00 + (cp & 0x3FF));
    } else {
        unit(cp);
    }
}

// UTF-8 text as UTF-16LE, with its terminating NUL.
std::string Utf16(const std::string &text)
{
    std::string out;
    const char *p = text.data();
    const char *end = p + text.size();
    while (p < end)
        PutUtf16(NextUtf8(&p, end), out);
    PutUtf16(0, out);
    return out;
}

// Entries as a REG_MULTI_SZ in UTF-16LE: each with its NUL, then one more.
std::string MultiUtf16(const std::vector<std::string> &entries)
{
    std::string out;
    for (const std::string &e : entries)
        out += Utf16(e);
    PutUtf16(0, out);
    return out;
}

std::string Dword(uint32_t v)
{
    std::string out(4, '\0');
    for (int i = 0; i < 4; i++)
        out[i] = (char)(v >> (8 * i));
    return out;
}

struct Value {
    std::string name;
    hive_type type;
    std::string data;
};

bool Fail(const char *what)
{
    fprintf(stderr, "make_sample_installation: %s: %s\n", what, strerror(errno));
    return false;
}

hive_node_h Child(hive_h *h, hive_node_h parent, const std::string &name)
{
    hive_node_h c = hivex_node_get_child(h, parent, name.c_str());
    if (c == 0)
        c = hivex_node_add_child(h, parent, name.c_str());
    if (c == 0)
        Fail(("cannot add key " + name).c_str());
    return c;
}

hive_node_h Path(hive_h *h, hive_node_h node, const std::string &path)
{
    for (const std::string &part : Split(path, '\\')) {
        if (node == 0)
            return 0;
        node = Child(h, node, part);
    }
    return node;
}

bool SetValues(hive_h *h, hive_node_h node, const std::vector<Value> &values)
{
    std::vector<hive_set_value> set(values.size());
    for (size_t i = 0; i < values.size(); i++) {
        set[i].key = (char *)values[i].name.c_str();
        set[i].t = values[i].type;
        set[i].len = values[i].data.size();
        set[i].value = (char *)values[i].data.data();
    }
    if (node == 0 || hivex_node_set_values(h, node, set.size(), set.data(), 0) != 0)
        return Fail("cannot set values");
    return true;
}

// An empty hive file of our own, opened for filling through hivex.
hive_h *NewHive(const std::string &path, int minor)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail(path.c_str());
        return NULL;
    }
    bool ok = WriteEmptyHive(fd, (uint32_t)minor, "$$$PROTO.HIV");
    close(fd);
    if (!ok) {
        Fail(path.c_str());
        return NULL;
    }
    hive_h *h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (h == NULL)
        Fail(("hivex refuses the new hive " + path).c_str());
    return h;
}

bool FinishHive(hive_h *h, const std::string &path, int minor)
{
    bool ok = hivex_commit(h, path.c_str(), 0) == 0;
    if (!ok)
        Fail(path.c_str());
    hivex_close(h);
    if (!ok)
        return false;
    if (minor < 5) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ConvertHashLeavesToFastLeaves(fd) < 0) {
            if (fd >= 0)
                close(fd);
            return Fail(("cannot rewrite the subkey lists of " + path).c_str());
        }
        close(fd);
    }
    return true;
}

std::vector<Value> ServiceValues(const std::string &name, uint32_t type, uint32_t start,
                                 const Options &o)
{
    std::vector<Value> v = {
        {"Type", hive_t_REG_DWORD, Dword(type)},
        {"Start", hive_t_REG_DWORD, Dword(start)},
        {"ErrorControl", hive_t_REG_DWORD, Dword(1)},
        {"ImagePath", hive_t_REG_EXPAND_SZ, Utf16("System32\\DRIVERS\\" + name + ".sys")},
        {"DisplayName", hive_t_REG_SZ, Utf16(name)},
    };
    if (o.description > 0)
        v.push_back({"Description", hive_t_REG_SZ,
                     Utf16(std::string((size_t)o.description, 'd'))});
    return v;
}

std::string FillerName(int i)
{
    char name[32];
    snprintf(name, sizeof name, "SampleSvc%04d", i);
    return name;
}

bool WriteSystem(const std::string &path, const Options &o)
{
    hive_h *h = NewHive(path, o.minor);
    if (h == NULL)
        return false;
    hive_node_h root = hivex_root(h);
    int sets = o.controlSets >= 0 ? o.controlSets : (o.current > 0 ? o.current : 1);
    bool ok = true;
    if (o.current > 0) {
        ok = SetValues(h, Child(h, root, "Select"),
                       {{"Current", hive_t_REG_DWORD, Dword((uint32_t)o.current)},
                        {"Default", hive_t_REG_DWORD, Dword((uint32_t)o.current)},
                        {"Failed", hive_t_REG_DWORD, Dword(0)},
                        {"LastKnownGood", hive_t_REG_DWORD, Dword((uint32_t)o.current)}});
    }
    std::vector<std::string> usual = {"atapi", "Cdfs", "Cdrom", "Disk", "imapi", "PxHelp20",
                                      "redbook", "Tcpip", "i8042prt", "kbdclass"};
    for (const std::string &s : o.services)
        if (!s.empty())
            usual.push_back(s);
    for (int i = 1; i <= o.filler; i++)
        usual.push_back(FillerName(i));

    for (int set = 1; ok && set <= sets; set++) {
        char name[32];
        snprintf(name, sizeof name, "ControlSet%03d", set);
        hive_node_h cs = Child(h, root, name);
        hive_node_h control = Path(h, cs, "Control");
        ok = SetValues(h, control, {{"SystemBootDevice", hive_t_REG_SZ, Utf16("multi(0)disk(0)rdisk(0)partition(1)")}});
        if (ok && o.classKey) {
            hive_node_h cls = Path(h, control, std::string("Class\\") + kClassGuid);
            std::vector<Value> v = {{"Class", hive_t_REG_SZ, Utf16("CDROM")}};
            std::vector<std::string> filler;
            for (int i = 1; i <= o.filterFiller; i++)
                filler.push_back(FillerName(i));
            auto list = [&](bool given, const std::string &text, const char *fallback,
                            const char *valueName) {
                std::string listText = given ? text : fallback;
                if (listText == "-")
                    return;
                std::vector<std::string> entries;
                if (!listText.empty())
                    entries = Split(listText, '|');
                entries.insert(entries.end(), filler.begin(), filler.end());
                v.push_back({valueName, hive_t_REG_MULTI_SZ, MultiUtf16(entries)});
            };
            list(o.upperGiven, o.upper, "redbook|OldBurner|imapi|x?y|ab", "UpperFilters");
            list(o.lowerGiven, o.lower, "PxHelp20|StaleLow", "LowerFilters");
            ok = SetValues(h, cls, v);
        }
        hive_node_h services = Path(h, cs, "Services");
        for (size_t i = 0; ok && i < usual.size(); i++) {
            hive_node_h svc = Child(h, services, usual[i]);
            ok = SetValues(h, svc, ServiceValues(usual[i], 1, 3, o));
            if (ok && i < 10)
                ok = SetValues(h, Child(h, svc, "Enum"),
                               {{"Count", hive_t_REG_DWORD, Dword(1)},
                                {"0", hive_t_REG_SZ, Utf16("Root\\LEGACY_" + usual[i] + "\\0000")}});
        }
    }
    if (!ok) {
        hivex_close(h);
        return false;
    }
    return FinishHive(h, path, o.minor);
}

bool WriteSoftware(const std::string &path, const Options &o)
{
    hive_h *h = NewHive(path, o.minor);
    if (h == NULL)
        return false;
    hive_node_h cv = Path(h, hivex_root(h), "Microsoft\\Windows NT\\CurrentVersion");
    std::vector<Value> v = {
        {"ProductName", hive_t_REG_SZ,
         Utf16(o.version == "5.0" ? "Microsoft Windows 2000" : "Microsoft Windows XP")},
        {"CurrentBuildNumber", hive_t_REG_SZ, Utf16(o.version == "5.0" ? "2195" : "2600")},
        {"CSDVersion", hive_t_REG_SZ, Utf16("Service Pack 2")},
    };
    if (o.version != "none")
        v.push_back({"CurrentVersion", hive_t_REG_SZ, Utf16(o.version)});
    bool ok = SetValues(h, cv, v) &&
              SetValues(h, Path(h, hivex_root(h), "Microsoft\\Windows\\CurrentVersion"),
                        {{"ProgramFilesDir", hive_t_REG_SZ, Utf16("C:\\Program Files")}});
    if (!ok) {
        hivex_close(h);
        return false;
    }
    return FinishHive(h, path, o.minor);
}

bool MakeDir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return Fail(path.c_str());
    return true;
}

bool WriteFile(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == NULL)
        return Fail(path.c_str());
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return (fclose(f) == 0 && ok) || Fail(path.c_str());
}

bool IntArg(const char *text, int *out)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 100000)
        return false;
    *out = (int)v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : NULL;
        auto needs = [&]() {
            if (next == NULL) {
                fprintf(stderr, "make_sample_installation: %s needs a value\n%s", a.c_str(), kUsage);
                exit(2);
            }
            i++;
            return std::string(next);
        };
        auto number = [&](int *out) {
            std::string v = needs();
            if (!IntArg(v.c_str(), out)) {
                fprintf(stderr, "make_sample_installation: bad number for %s: %s\n", a.c_str(), v.c_str());
                exit(2);
            }
        };
        if (a == "--version") o.version = needs();
        else if (a == "--format") {
            std::string f = needs();
            if (f != "1.3" && f != "1.5") {
                fprintf(stderr, "make_sample_installation: --format is 1.3 or 1.5\n");
                return 2;
            }
            o.minor = f == "1.3" ? 3 : 5;
        } else if (a == "--windir") o.windir = needs();
        else if (a == "--drivers") {
            o.driversGiven = true;
            std::string d = needs();
            if (d != "none")
                o.drivers = Split(d, ',');
        } else if (a == "--services") o.services = Split(needs(), ',');
        else if (a == "--filler") number(&o.filler);
        else if (a == "--upper") { o.upperGiven = true; o.upper = needs(); }
        else if (a == "--lower") { o.lowerGiven = true; o.lower = needs(); }
        else if (a == "--filter-filler") number(&o.filterFiller);
        else if (a == "--current") number(&o.current);
        else if (a == "--control-sets") number(&o.controlSets);
        else if (a == "--description") number(&o.description);
        else if (a == "--no-class-key") o.classKey = false;
        else if (a == "--no-software") o.software = false;
        else if (a == "--no-temp") o.temp = false;
        else if (a == "--mangle-case") o.mangle = true;
        else if (a == "--help") { fputs(kUsage, stdout); return 0; }
        else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "make_sample_installation: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else if (o.folder.empty()) o.folder = a;
        else { fputs(kUsage, stderr); return 2; }
    }
    if (o.folder.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    bool w2k = o.version == "5.0";
    if (o.minor < 0)
        o.minor = w2k ? 3 : 5;
    if (o.windir.empty())
        o.windir = w2k ? "WINNT" : "WINDOWS";
    if (!o.driversGiven)
        o.drivers = {"Gravle2k", "kvt_2k", w2k ? "Mbx7_2k" : "Mbx7_xp"};

    std::string windows = o.folder + "/" + o.windir;
    std::string system32 = windows + (o.mangle ? "/System32" : "/system32");
    std::string config = system32 + (o.mangle ? "/CONFIG" : "/config");
    std::string drivers = system32 + (o.mangle ? "/DRIVERS" : "/drivers");
    if (!MakeDir(o.folder) || !MakeDir(windows) || !MakeDir(system32) || !MakeDir(config) ||
        !MakeDir(drivers) || (o.temp && !MakeDir(windows + (o.mangle ? "/TEMP" : "/Temp"))))
        return 1;
    if (!WriteSystem(config + (o.mangle ? "/SYSTEM" : "/system"), o))
        return 1;
    if (o.software && !WriteSoftware(config + (o.mangle ? "/Software" : "/software"), o))
        return 1;
    for (const std::string &d : o.drivers) {
        std::string file = d;
        if (o.mangle)
            for (char &c : file)
                c = (char)((c >= 'A' && c <= 'Z') ? c + 32 : c);
        if (!WriteFile(drivers + "/" + file + (o.mangle ? ".SYS" : ".sys"), "MZ sample driver\n"))
            return 1;
    }
    printf("%s\n", windows.c_str());
    return 0;
}

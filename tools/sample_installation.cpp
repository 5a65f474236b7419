// The sample installation's content: the hives' keys and values, the driver
// files and the folders.
#include "sample_installation.h"

#include "platform/offline/regf_bytes.h"
#include "testing/regf_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kClassGuid[] = "{4D36E965-E325-11CE-BFC1-08002BE10318}";

bool Fail(const char *what)
{
    fprintf(stderr, "make_sample_installation: %s: %s\n", what, strerror(errno));
    return false;
}

// Replaces every value of key, as a whole set.
void SetValues(RegfKey &key, const std::vector<RegfValue> &values) { key.values = values; }

// Writes the hive file for root, which hivex must then open.
bool WriteHive(const std::string &path, int minor, const RegfKey &root)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail(path.c_str());
    std::string error;
    bool ok = WriteRegfHive(fd, (uint32_t)minor, "$$$PROTO.HIV", root, &error);
    if (close(fd) != 0 && ok)
        return Fail(path.c_str());
    if (!ok) {
        fprintf(stderr, "make_sample_installation: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    hive_h *h = hivex_open(path.c_str(), 0);
    if (h == NULL)
        return Fail(("hivex refuses the new hive " + path).c_str());
    hivex_close(h);
    return true;
}

// A self-relative security descriptor of the size Windows gives a service
// (owner and group SYSTEM; SYSTEM, Administrators, Power Users and
// interactive users allowed), for the binary Security value of its key.
std::string ServiceSecurity()
{
    auto sid = [](uint8_t authority, std::vector<uint32_t> subs) {
        std::string s;
        s.push_back(1);
        s.push_back((char)subs.size());
        s.append(5, '\0');
        s.push_back((char)authority);
        for (uint32_t v : subs)
            s += DwordBytes(v);
        return s;
    };
    std::string system = sid(5, {18});
    struct Ace {
        std::string sid;
        uint32_t mask;
    } aces[] = {{system, 0x000F01FF},
                {sid(5, {32, 544}), 0x000F01FF},
                {sid(5, {32, 547}), 0x0002018D},
                {sid(5, {4}), 0x0002008D},
                {sid(1, {0}), 0x0002008D}};
    std::string acl;
    for (const Ace &a : aces) {
        std::string ace;
        ace.push_back(0); // allowed
        ace.push_back(0);
        uint16_t size = (uint16_t)(8 + a.sid.size());
        ace.push_back((char)(size & 0xFF));
        ace.push_back((char)(size >> 8));
        ace += DwordBytes(a.mask) + a.sid;
        acl += ace;
    }
    uint16_t aclSize = (uint16_t)(8 + acl.size());
    std::string header = {2, 0, (char)(aclSize & 0xFF), (char)(aclSize >> 8),
                          (char)(sizeof aces / sizeof aces[0]), 0, 0, 0};
    acl = header + acl;
    std::string sd = {1, 0, 4, (char)0x80}; // revision 1; self-relative, DACL present
    uint32_t dacl = 20, owner = dacl + (uint32_t)acl.size(), group = owner + (uint32_t)system.size();
    sd += DwordBytes(owner) + DwordBytes(group) + DwordBytes(0) + DwordBytes(dacl);
    return sd + acl + system + system;
}

const char kLegacyGuid[] = "{8ECC055D-047F-11D1-A537-0000F8753ED1}";

std::string Upper(const std::string &ascii)
{
    std::string s = ascii;
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 0x20);
    return s;
}

std::vector<RegfValue> ServiceValues(const std::string &name, uint32_t type, uint32_t start,
                                 const SampleOptions &o, int tag)
{
    std::vector<RegfValue> v = {
        {"Type", hive_t_REG_DWORD, DwordBytes(type)},
        {"Start", hive_t_REG_DWORD, DwordBytes(start)},
        {"ErrorControl", hive_t_REG_DWORD, DwordBytes(1)},
        {"ImagePath", hive_t_REG_EXPAND_SZ, Utf16("System32\\DRIVERS\\" + name + ".sys")},
        {"DisplayName", hive_t_REG_SZ, Utf16(name)},
    };
    if (o.description > 0)
        v.push_back({"Description", hive_t_REG_SZ,
                     Utf16(std::string((size_t)o.description, 'd'))});
    if (o.fullServices) {
        v.push_back({"Group", hive_t_REG_SZ, Utf16("Extended Base")});
        v.push_back({"Tag", hive_t_REG_DWORD, DwordBytes((uint32_t)tag)});
    }
    return v;
}

std::string FillerName(int i, const SampleOptions &o)
{
    char name[32];
    snprintf(name, sizeof name, "SampleSvc%04d", i);
    std::string padded = name;
    if ((size_t)o.fillerLength > padded.size())
        padded.append((size_t)o.fillerLength - padded.size(), 'x');
    return padded;
}

bool WriteSystem(const std::string &path, const SampleOptions &o)
{
    RegfKey root;
    int sets = o.controlSets >= 0 ? o.controlSets : (o.current > 0 ? o.current : 1);
    if (o.current > 0) {
        std::vector<RegfValue> select = {{"Current", hive_t_REG_DWORD, DwordBytes((uint32_t)o.current)}};
        if (o.byDefault != 0)
            select.push_back({"Default", hive_t_REG_DWORD,
                              DwordBytes((uint32_t)(o.byDefault > 0 ? o.byDefault : o.current))});
        select.push_back({"Failed", hive_t_REG_DWORD, DwordBytes(0)});
        select.push_back({"LastKnownGood", hive_t_REG_DWORD, DwordBytes((uint32_t)o.current)});
        SetValues(RegfSubkey(root, "Select"), select);
    }
    std::vector<std::string> usual = {"atapi", "Cdfs", "Cdrom", "Disk", "imapi", "PxHelp20",
                                      "redbook", "Tcpip", "i8042prt", "kbdclass"};
    for (const std::string &s : o.services)
        if (!s.empty())
            usual.push_back(s);
    for (int i = 1; i <= o.filler; i++)
        usual.push_back(FillerName(i, o));
    std::string security = ServiceSecurity();

    for (int set = 1; set <= sets; set++) {
        char name[32];
        snprintf(name, sizeof name, "ControlSet%03d", set);
        RegfKey &cs = RegfSubkey(root, name);
        RegfKey &control = RegfSubkey(cs, "Control");
        SetValues(control, {{"SystemBootDevice", hive_t_REG_SZ, Utf16("multi(0)disk(0)rdisk(0)partition(1)")}});
        if (!o.acp.empty())
            SetValues(RegfPath(control, "Nls\\CodePage"), {{"ACP", hive_t_REG_SZ, Utf16(o.acp)}});
        if (o.classKey) {
            RegfKey &cls = RegfPath(control, std::string("Class\\") + kClassGuid);
            std::vector<RegfValue> v = {{"Class", hive_t_REG_SZ, Utf16("CDROM")}};
            std::vector<std::string> filler;
            for (int i = 1; i <= o.filterFiller; i++)
                filler.push_back(FillerName(i, o));
            auto list = [&](bool given, const std::string &text, const char *fallback,
                            const char *valueName) {
                std::string listText = given ? text : fallback;
                if (listText == "-")
                    return;
                std::vector<std::string> entries;
                if (!listText.empty())
                    entries = SplitList(listText, '|');
                entries.insert(entries.end(), filler.begin(), filler.end());
                v.push_back({valueName, hive_t_REG_MULTI_SZ, MultiUtf16(entries)});
            };
            list(o.upperGiven, o.upper, "redbook|OldBurner|imapi|x?y|ab", "UpperFilters");
            list(o.lowerGiven, o.lower, "PxHelp20|StaleLow", "LowerFilters");
            if (o.classBlob >= 0) {
                std::string blob((size_t)o.classBlob, '\0');
                for (size_t i = 0; i < blob.size(); i++)
                    blob[i] = (char)(i * 7 % 251);
                v.push_back({"SampleBlob", hive_t_REG_BINARY, blob});
            }
            SetValues(cls, v);
        }
        RegfKey &services = RegfSubkey(cs, "Services");
        for (size_t i = 0; i < usual.size(); i++) {
            RegfKey &svc = RegfSubkey(services, usual[i]);
            SetValues(svc, ServiceValues(usual[i], 1, 3, o, (int)(i % 32) + 1));
            std::string instance = "Root\\LEGACY_" + Upper(usual[i]) + "\\0000";
            if (o.fullServices) {
                SetValues(RegfSubkey(svc, "Security"), {{"Security", hive_t_REG_BINARY, security}});
                SetValues(RegfSubkey(svc, "Enum"), {{"0", hive_t_REG_SZ, Utf16(instance)},
                                             {"Count", hive_t_REG_DWORD, DwordBytes(1)},
                                             {"NextInstance", hive_t_REG_DWORD, DwordBytes(1)}});
                RegfKey &legacy = RegfPath(cs, "Enum\\Root\\LEGACY_" + Upper(usual[i]));
                SetValues(legacy, {{"NextInstance", hive_t_REG_DWORD, DwordBytes(1)}});
                SetValues(RegfSubkey(legacy, "0000"),
                          {{"Service", hive_t_REG_SZ, Utf16(usual[i])},
                           {"Legacy", hive_t_REG_DWORD, DwordBytes(1)},
                           {"ConfigFlags", hive_t_REG_DWORD, DwordBytes(0)},
                           {"Class", hive_t_REG_SZ, Utf16("LegacyDriver")},
                           {"ClassGUID", hive_t_REG_SZ, Utf16(kLegacyGuid)},
                           {"DeviceDesc", hive_t_REG_SZ, Utf16(usual[i])}});
            } else if (i < 10) {
                SetValues(RegfSubkey(svc, "Enum"), {{"Count", hive_t_REG_DWORD, DwordBytes(1)},
                                             {"0", hive_t_REG_SZ, Utf16("Root\\LEGACY_" + usual[i] + "\\0000")}});
            }
        }
    }
    return WriteHive(path, o.minor, root);
}

bool WriteSoftware(const std::string &path, const SampleOptions &o)
{
    RegfKey root;
    std::vector<RegfValue> v = {
        {"ProductName", hive_t_REG_SZ,
         Utf16(o.version == "5.0" ? "Microsoft Windows 2000" : "Microsoft Windows XP")},
        {"CurrentBuildNumber", hive_t_REG_SZ, Utf16(o.version == "5.0" ? "2195" : "2600")},
        {"CSDVersion", hive_t_REG_SZ, Utf16("Service Pack 2")},
    };
    if (o.version != "none")
        v.push_back({"CurrentVersion", hive_t_REG_SZ, Utf16(o.version)});
    SetValues(RegfPath(root, "Microsoft\\Windows NT\\CurrentVersion"), v);
    SetValues(RegfPath(root, "Microsoft\\Windows\\CurrentVersion"),
              {{"ProgramFilesDir", hive_t_REG_SZ, Utf16("C:\\Program Files")}});
    return WriteHive(path, o.minor, root);
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

} // namespace

std::vector<std::string> SplitList(const std::string &s, char sep)
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

bool WriteSampleInstallation(SampleOptions o, std::string *windowsOut)
{
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
        return false;
    if (!WriteSystem(config + (o.mangle ? "/SYSTEM" : "/system"), o))
        return false;
    if (o.software && !WriteSoftware(config + (o.mangle ? "/Software" : "/software"), o))
        return false;
    for (const std::string &d : o.drivers) {
        std::string file = d;
        if (o.mangle)
            for (char &c : file)
                c = (char)((c >= 'A' && c <= 'Z') ? c + 32 : c);
        if (!WriteFile(drivers + "/" + file + (o.mangle ? ".SYS" : ".sys"), "MZ sample driver\n"))
            return false;
    }
    *windowsOut = windows;
    return true;
}

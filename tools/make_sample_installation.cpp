// Writes a sample Windows 2000 or XP installation into a folder: the Windows
// directory with system32/config/system and software hives (laid out cell by
// cell in one pass, compact as a hive Windows has just written, then checked
// by opening them with hivex), system32/drivers with the filter driver files,
// and Temp.
//
//   make_sample_installation [options] FOLDER
//
// The Windows directory is FOLDER/WINDOWS (FOLDER/WINNT for version 5.0);
// its path is printed on standard output.
#include "platform/emulated/cp1252.h"
#include "platform/offline/regf_file.h"

#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
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
    "  --mangle-case     spell folders and files in other cases than Windows does\n"
    "  --full-services   give every service what an installed driver has: Group, Tag,\n"
    "                    Security and Enum subkeys, and its Enum\\Root\\LEGACY_ key\n";

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
    bool fullServices = false;
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
    uint32_t type;
    std::string data;
};

bool Fail(const char *what)
{
    fprintf(stderr, "make_sample_installation: %s: %s\n", what, strerror(errno));
    return false;
}

bool FailPlain(const std::string &what)
{
    fprintf(stderr, "make_sample_installation: %s\n", what.c_str());
    return false;
}

// A name as the hive stores it: one byte a character when every character
// fits in Latin-1 (a "compressed" name), else UTF-16LE.
struct StoredName {
    std::string bytes;
    bool compressed;
    std::vector<uint16_t> units; // UTF-16, for sorting and hashing
};

StoredName StoreName(const std::string &utf8)
{
    StoredName n;
    n.compressed = true;
    std::vector<uint32_t> cps;
    const char *p = utf8.data();
    const char *end = p + utf8.size();
    while (p < end) {
        uint32_t cp = NextUtf8(&p, end);
        cps.push_back(cp);
        if (cp > 0xFF)
            n.compressed = false;
    }
    for (uint32_t cp : cps) {
        if (cp >= 0x10000) {
            n.units.push_back((uint16_t)(0xD800 + ((cp - 0x10000) >> 10)));
            n.units.push_back((uint16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            n.units.push_back((uint16_t)cp);
        }
        if (n.compressed)
            n.bytes.push_back((char)cp);
    }
    if (!n.compressed)
        for (uint16_t u : n.units) {
            n.bytes.push_back((char)(u & 0xFF));
            n.bytes.push_back((char)(u >> 8));
        }
    return n;
}

// Upper case as key lists are sorted and hashed: the Latin letters of
// Latin-1, and the other letters the registry folds (see FoldNameChar).
uint16_t UpperUnit(uint16_t u)
{
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7))
        return (uint16_t)(u - 0x20);
    if (u == 0xFF)
        return 0x178;
    if (FoldNameChar(u) == u && u > 0xFF) {
        for (uint32_t c = u - 0x50; c < u; c++)
            if (c >= 0x100 && FoldNameChar(c) == u)
                return (uint16_t)c;
    }
    return u;
}

std::vector<uint16_t> UpperName(const std::string &utf8)
{
    std::vector<uint16_t> units = StoreName(utf8).units;
    for (uint16_t &u : units)
        u = UpperUnit(u);
    return units;
}

// A key of a hive being put together in memory.
struct Key {
    std::string name; // UTF-8
    std::vector<Value> values;
    std::vector<std::unique_ptr<Key>> kids;
};

// The child of key named name (without regard to case), added when missing.
Key &Sub(Key &key, const std::string &name)
{
    std::vector<uint16_t> want = UpperName(name);
    for (auto &k : key.kids)
        if (UpperName(k->name) == want)
            return *k;
    key.kids.emplace_back(new Key{name, {}, {}});
    return *key.kids.back();
}

Key &Path(Key &key, const std::string &path)
{
    Key *k = &key;
    for (const std::string &part : Split(path, '\\'))
        k = &Sub(*k, part);
    return *k;
}

// Replaces every value of key, as a whole set.
void SetValues(Key &key, const std::vector<Value> &values) { key.values = values; }

void Put16(std::string &b, size_t at, uint16_t v)
{
    b[at] = (char)(v & 0xFF);
    b[at + 1] = (char)(v >> 8);
}

void Put32(std::string &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (char)(v >> (8 * i));
}

void Put64(std::string &b, size_t at, uint64_t v)
{
    Put32(b, at, (uint32_t)v);
    Put32(b, at + 4, (uint32_t)(v >> 32));
}

uint32_t Get32(const std::string &b, size_t at)
{
    return (uint32_t)(unsigned char)b[at] | ((uint32_t)(unsigned char)b[at + 1] << 8) |
           ((uint32_t)(unsigned char)b[at + 2] << 16) | ((uint32_t)(unsigned char)b[at + 3] << 24);
}

const uint32_t kNoCell = 0xFFFFFFFFu;
const size_t kBin = 0x1000;         // bins are made of 4 KB blocks
const size_t kBinHeader = 0x20;
const size_t kMaxLeaf = 507;        // entries of a subkey list that fill one block
const size_t kMaxCellData = 16344;  // larger data would need a big data cell

// Lays out a whole hive in one pass: cells in 4 KB bins, in the order a key
// tree is walked (a key, its values, its subkeys, then its subkey list), with
// no free space but the tail of each bin that the next cell did not fit.
class HiveLayout {
public:
    HiveLayout(uint64_t stamp, const std::string &securityCell)
        : stamp_(stamp), security_(securityCell) {}

    // The bins for root; false (with a message) when a value is too large.
    bool Build(const Key &root, const std::string &rootName)
    {
        ok_ = true;
        size_t nk = 0x4C + rootName.size();
        rootCell_ = Alloc(nk);
        securityCell_ = Alloc(security_.size() - 4);
        bins_.replace(securityCell_, security_.size(), security_);
        Put32(bins_, securityCell_, (uint32_t) - (int32_t)AlignCell(security_.size() - 4));
        Put32(bins_, securityCell_ + 4 + 4, securityCell_);
        Put32(bins_, securityCell_ + 4 + 8, securityCell_);
        keys_ = 0;
        Fill(rootCell_, root, StoreName(rootName), 0);
        Put32(bins_, securityCell_ + 4 + 0x0C, keys_);
        CloseBin();
        return ok_;
    }

    uint32_t RootCell() const { return rootCell_; }
    const std::string &Bins() const { return bins_; }

private:
    static size_t AlignCell(size_t payload) { return (4 + payload + 7) & ~(size_t)7; }

    void CloseBin()
    {
        if (next_ < binEnd_)
            Put32(bins_, next_, (uint32_t)(binEnd_ - next_)); // the free tail
        next_ = binEnd_;
    }

    // A zeroed used cell with room for payload bytes; its offset.
    uint32_t Alloc(size_t payload)
    {
        size_t size = AlignCell(payload);
        if (next_ + size > binEnd_) {
            CloseBin();
            size_t binSize = (kBinHeader + size + kBin - 1) / kBin * kBin;
            size_t at = bins_.size();
            bins_.append(binSize, '\0');
            bins_.replace(at, 4, "hbin");
            Put32(bins_, at + 4, (uint32_t)at);
            Put32(bins_, at + 8, (uint32_t)binSize);
            Put64(bins_, at + 0x14, stamp_);
            next_ = at + kBinHeader;
            binEnd_ = at + binSize;
        }
        size_t cell = next_;
        next_ += size;
        Put32(bins_, cell, (uint32_t) - (int32_t)size);
        return (uint32_t)cell;
    }

    uint32_t Data(const std::string &data)
    {
        uint32_t cell = Alloc(data.size());
        bins_.replace(cell + 4, data.size(), data);
        return cell;
    }

    uint32_t ValueCell(const Value &v, size_t *nameLen)
    {
        StoredName name = StoreName(v.name);
        *nameLen = name.units.size() * 2;
        if (v.data.size() > kMaxCellData) {
            FailPlain("the value " + v.name + " is too large for this writer");
            ok_ = false;
            return kNoCell;
        }
        uint32_t cell = Alloc(0x14 + name.bytes.size());
        size_t k = cell + 4;
        bins_.replace(k, 2, "vk");
        Put16(bins_, k + 2, (uint16_t)name.bytes.size());
        if (v.data.size() <= 4) {
            // Up to four bytes are kept in the value cell itself.
            Put32(bins_, k + 4, 0x80000000u | (uint32_t)v.data.size());
            bins_.replace(k + 8, v.data.size(), v.data);
        } else {
            Put32(bins_, k + 4, (uint32_t)v.data.size());
        }
        Put32(bins_, k + 0x0C, v.type);
        Put16(bins_, k + 0x10, name.compressed ? 1 : 0);
        bins_.replace(k + 0x14, name.bytes.size(), name.bytes);
        if (v.data.size() > 4) {
            uint32_t data = Data(v.data);
            Put32(bins_, cell + 4 + 8, data);
        }
        return cell;
    }

    static uint32_t Hash(const std::vector<uint16_t> &upper)
    {
        uint32_t h = 0;
        for (uint16_t u : upper)
            h = h * 37 + u;
        return h;
    }

    // Fills the key cell nk (already allocated) and lays out what it holds.
    void Fill(uint32_t nk, const Key &key, const StoredName &name, uint32_t parent)
    {
        keys_++;
        size_t k = nk + 4;
        bins_.replace(k, 2, "nk");
        uint16_t flags = name.compressed ? 0x20 : 0;
        if (parent == 0)
            flags |= 0x0C; // the hive's root: entry point, never deleted
        Put16(bins_, k + 2, flags);
        Put64(bins_, k + 4, stamp_);
        Put32(bins_, k + 0x10, parent == 0 ? 0 : parent);
        Put32(bins_, k + 0x1C, kNoCell);
        Put32(bins_, k + 0x20, kNoCell);
        Put32(bins_, k + 0x28, kNoCell);
        Put32(bins_, k + 0x2C, securityCell_);
        Put32(bins_, k + 0x30, kNoCell);
        Put16(bins_, k + 0x48, (uint16_t)name.bytes.size());
        bins_.replace(k + 0x4C, name.bytes.size(), name.bytes);

        if (!key.values.empty()) {
            std::vector<uint32_t> cells;
            size_t maxName = 0, maxData = 0;
            for (const Value &v : key.values) {
                size_t nameLen = 0;
                cells.push_back(ValueCell(v, &nameLen));
                maxName = std::max(maxName, nameLen);
                maxData = std::max(maxData, v.data.size());
            }
            uint32_t list = Alloc(4 * cells.size());
            for (size_t i = 0; i < cells.size(); i++)
                Put32(bins_, list + 4 + 4 * i, cells[i]);
            Put32(bins_, k + 0x24, (uint32_t)cells.size());
            Put32(bins_, k + 0x28, list);
            Put32(bins_, k + 0x3C, (uint32_t)maxName);
            Put32(bins_, k + 0x40, (uint32_t)maxData);
        }
        if (key.kids.empty())
            return;

        // Subkeys in the registry's order: by their names in upper case.
        struct Entry {
            const Key *key;
            StoredName name;
            std::vector<uint16_t> upper;
            uint32_t cell;
        };
        std::vector<Entry> entries;
        for (const auto &kid : key.kids) {
            Entry e{kid.get(), StoreName(kid->name), {}, 0};
            e.upper = e.name.units;
            for (uint16_t &u : e.upper)
                u = UpperUnit(u);
            entries.push_back(std::move(e));
        }
        std::sort(entries.begin(), entries.end(),
                  [](const Entry &a, const Entry &b) { return a.upper < b.upper; });
        size_t maxName = 0;
        for (Entry &e : entries) {
            e.cell = Alloc(0x4C + e.name.bytes.size());
            Fill(e.cell, *e.key, e.name, nk);
            maxName = std::max(maxName, e.name.units.size() * 2);
        }
        // Hash leaves of up to one block each; more than one under an index root.
        std::vector<uint32_t> leaves;
        for (size_t first = 0; first < entries.size(); first += kMaxLeaf) {
            size_t n = std::min(kMaxLeaf, entries.size() - first);
            uint32_t leaf = Alloc(4 + 8 * n);
            bins_.replace(leaf + 4, 2, "lh");
            Put16(bins_, leaf + 6, (uint16_t)n);
            for (size_t i = 0; i < n; i++) {
                Put32(bins_, leaf + 8 + 8 * i, entries[first + i].cell);
                Put32(bins_, leaf + 12 + 8 * i, Hash(entries[first + i].upper));
            }
            leaves.push_back(leaf);
        }
        uint32_t list = leaves[0];
        if (leaves.size() > 1) {
            list = Alloc(4 + 4 * leaves.size());
            bins_.replace(list + 4, 2, "ri");
            Put16(bins_, list + 6, (uint16_t)leaves.size());
            for (size_t i = 0; i < leaves.size(); i++)
                Put32(bins_, list + 8 + 4 * i, leaves[i]);
        }
        k = nk + 4;
        Put32(bins_, k + 0x14, (uint32_t)entries.size());
        Put32(bins_, k + 0x1C, list);
        Put32(bins_, k + 0x34, (uint32_t)maxName);
    }

    uint64_t stamp_;
    std::string security_;
    std::string bins_;
    size_t next_ = 0, binEnd_ = 0;
    uint32_t rootCell_ = 0, securityCell_ = 0, keys_ = 0;
    bool ok_ = true;
};

bool ReadAll(int fd, std::string &out, size_t n, off_t at)
{
    out.assign(n, '\0');
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, &out[done], n - done, at + (off_t)done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        done += (size_t)r;
    }
    return true;
}

bool WriteAll(int fd, const std::string &data, off_t at)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = pwrite(fd, data.data() + done, data.size() - done, at + (off_t)done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += (size_t)w;
    }
    return true;
}

// Writes the hive file for root. It starts as the empty hive every new hive
// of this system gets (its base block and its one security cell are kept),
// then the whole tree is laid out behind that base block in one pass. Format
// 1.3 hives then get their hash leaves turned into fast leaves, and hivex must
// open the result.
bool WriteHive(const std::string &path, int minor, const Key &root)
{
    const char *rootName = "$$$PROTO.HIV";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail(path.c_str());
    std::string empty;
    bool ok = WriteEmptyHive(fd, (uint32_t)minor, rootName) &&
              ReadAll(fd, empty, kRegfBaseBlockSize + kBin, 0);
    if (!ok) {
        close(fd);
        return Fail(path.c_str());
    }
    std::string base = empty.substr(0, kRegfBaseBlockSize);
    uint32_t emptyRoot = Get32(base, 0x24);
    size_t rootAt = kRegfBaseBlockSize + emptyRoot;
    uint32_t sk = Get32(empty, rootAt + 4 + 0x2C);
    size_t skAt = kRegfBaseBlockSize + sk;
    size_t skSize = (size_t) - (int32_t)Get32(empty, skAt);
    std::string security = empty.substr(skAt, skSize);
    uint64_t stamp = (uint64_t)Get32(empty, rootAt + 4 + 4) |
                     ((uint64_t)Get32(empty, rootAt + 4 + 8) << 32);

    HiveLayout layout(stamp, security);
    if (!layout.Build(root, rootName)) {
        close(fd);
        return false;
    }
    Put32(base, 0x24, layout.RootCell());
    Put32(base, 0x28, (uint32_t)layout.Bins().size());
    Put32(base, 0x1FC, RegfChecksum((const unsigned char *)base.data()));
    ok = ftruncate(fd, 0) == 0 && WriteAll(fd, base, 0) &&
         WriteAll(fd, layout.Bins(), (off_t)kRegfBaseBlockSize);
    if (ok && minor < 5 && ConvertHashLeavesToFastLeaves(fd) < 0) {
        close(fd);
        return Fail(("cannot rewrite the subkey lists of " + path).c_str());
    }
    if (close(fd) != 0 || !ok)
        return Fail(path.c_str());
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
            s += Dword(v);
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
        ace += Dword(a.mask) + a.sid;
        acl += ace;
    }
    uint16_t aclSize = (uint16_t)(8 + acl.size());
    std::string header = {2, 0, (char)(aclSize & 0xFF), (char)(aclSize >> 8),
                          (char)(sizeof aces / sizeof aces[0]), 0, 0, 0};
    acl = header + acl;
    std::string sd = {1, 0, 4, (char)0x80}; // revision 1; self-relative, DACL present
    uint32_t dacl = 20, owner = dacl + (uint32_t)acl.size(), group = owner + (uint32_t)system.size();
    sd += Dword(owner) + Dword(group) + Dword(0) + Dword(dacl);
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

std::vector<Value> ServiceValues(const std::string &name, uint32_t type, uint32_t start,
                                 const Options &o, int tag)
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
    if (o.fullServices) {
        v.push_back({"Group", hive_t_REG_SZ, Utf16("Extended Base")});
        v.push_back({"Tag", hive_t_REG_DWORD, Dword((uint32_t)tag)});
    }
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
    Key root;
    int sets = o.controlSets >= 0 ? o.controlSets : (o.current > 0 ? o.current : 1);
    if (o.current > 0) {
        SetValues(Sub(root, "Select"),
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
    std::string security = ServiceSecurity();

    for (int set = 1; set <= sets; set++) {
        char name[32];
        snprintf(name, sizeof name, "ControlSet%03d", set);
        Key &cs = Sub(root, name);
        Key &control = Sub(cs, "Control");
        SetValues(control, {{"SystemBootDevice", hive_t_REG_SZ, Utf16("multi(0)disk(0)rdisk(0)partition(1)")}});
        if (o.classKey) {
            Key &cls = Path(control, std::string("Class\\") + kClassGuid);
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
            SetValues(cls, v);
        }
        Key &services = Sub(cs, "Services");
        for (size_t i = 0; i < usual.size(); i++) {
            Key &svc = Sub(services, usual[i]);
            SetValues(svc, ServiceValues(usual[i], 1, 3, o, (int)(i % 32) + 1));
            std::string instance = "Root\\LEGACY_" + Upper(usual[i]) + "\\0000";
            if (o.fullServices) {
                SetValues(Sub(svc, "Security"), {{"Security", hive_t_REG_BINARY, security}});
                SetValues(Sub(svc, "Enum"), {{"0", hive_t_REG_SZ, Utf16(instance)},
                                             {"Count", hive_t_REG_DWORD, Dword(1)},
                                             {"NextInstance", hive_t_REG_DWORD, Dword(1)}});
                Key &legacy = Path(cs, "Enum\\Root\\LEGACY_" + Upper(usual[i]));
                SetValues(legacy, {{"NextInstance", hive_t_REG_DWORD, Dword(1)}});
                SetValues(Sub(legacy, "0000"),
                          {{"Service", hive_t_REG_SZ, Utf16(usual[i])},
                           {"Legacy", hive_t_REG_DWORD, Dword(1)},
                           {"ConfigFlags", hive_t_REG_DWORD, Dword(0)},
                           {"Class", hive_t_REG_SZ, Utf16("LegacyDriver")},
                           {"ClassGUID", hive_t_REG_SZ, Utf16(kLegacyGuid)},
                           {"DeviceDesc", hive_t_REG_SZ, Utf16(usual[i])}});
            } else if (i < 10) {
                SetValues(Sub(svc, "Enum"), {{"Count", hive_t_REG_DWORD, Dword(1)},
                                             {"0", hive_t_REG_SZ, Utf16("Root\\LEGACY_" + usual[i] + "\\0000")}});
            }
        }
    }
    return WriteHive(path, o.minor, root);
}

bool WriteSoftware(const std::string &path, const Options &o)
{
    Key root;
    std::vector<Value> v = {
        {"ProductName", hive_t_REG_SZ,
         Utf16(o.version == "5.0" ? "Microsoft Windows 2000" : "Microsoft Windows XP")},
        {"CurrentBuildNumber", hive_t_REG_SZ, Utf16(o.version == "5.0" ? "2195" : "2600")},
        {"CSDVersion", hive_t_REG_SZ, Utf16("Service Pack 2")},
    };
    if (o.version != "none")
        v.push_back({"CurrentVersion", hive_t_REG_SZ, Utf16(o.version)});
    SetValues(Path(root, "Microsoft\\Windows NT\\CurrentVersion"), v);
    SetValues(Path(root, "Microsoft\\Windows\\CurrentVersion"),
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
        else if (a == "--full-services") o.fullServices = true;
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

// Files below the Windows directory held in memory, answering as the host files do.
#include "testing/memory/memory_files.h"
#include "platform/posix/host_files.h"

#include <string.h>

#include <memory>
#include <vector>

namespace {

// A file or a folder, by its path below the Windows directory: its components
// as first spelt, joined by "\".
struct Entry {
    std::string path;
    bool folder;
    std::shared_ptr<std::string> content;
};

struct Open {
    std::shared_ptr<std::string> content; // null when the slot is free
    bool write;
    bool append;
    size_t position;
};

const int kMaxFiles = 32;
const intptr_t kHandleBias = 0x5000;

std::string g_root;
std::vector<Entry> g_entries;
// The path a call resolves, kept from call to call: a lookup allocates
// nothing once it has room.
std::string g_path;
Open g_open[kMaxFiles];

bool SameName(const std::string &a, const std::string &b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// The next component of a path below the Windows directory, runs of "\"
// taken as one: false at the end.
bool NextComponent(const char **p, const char **start, size_t *length)
{
    while (**p == '\\')
        (*p)++;
    if (**p == '\0')
        return false;
    const char *end = strchr(*p, '\\');
    *start = *p;
    *length = end ? (size_t)(end - *p) : strlen(*p);
    *p += *length;
    return true;
}

// The part of a path below the Windows directory, when it lies below it and
// names at least one component, each of them a name; NULL otherwise.
const char *Below(const char *path)
{
    const char *rest = HostPathBelow(g_root.c_str(), path);
    if (rest == nullptr)
        return nullptr;
    const char *p = rest, *start;
    size_t length, count = 0;
    for (; NextComponent(&p, &start, &length); count++)
        if (!HostPathComponentValid(start, length))
            return nullptr;
    return count > 0 ? rest : nullptr;
}

Entry *Find(const std::string &path)
{
    for (Entry &e : g_entries)
        if (SameName(e.path, path))
            return &e;
    return nullptr;
}

// The path in its stored spelling, when every folder on the way exists: the
// folders as first spelt, then the leaf as given, joined by "\".
bool Resolve(const char *path, std::string *whole)
{
    const char *p = Below(path), *start;
    if (p == nullptr)
        return false;
    size_t length;
    whole->clear();
    bool first = true;
    while (NextComponent(&p, &start, &length)) {
        if (!first) {
            // What is built so far is a folder on the way.
            Entry *folder = Find(*whole);
            if (folder == nullptr || !folder->folder)
                return false;
            *whole = folder->path;
            *whole += '\\';
        }
        whole->append(start, length);
        first = false;
    }
    return true;
}

int SlotOf(HANDLE file)
{
    intptr_t slot = (intptr_t)file - kHandleBias;
    if (slot < 0 || slot >= kMaxFiles || !g_open[slot].content)
        return -1;
    return (int)slot;
}

} // namespace

void MemoryFilesClear()
{
    g_root.clear();
    g_entries.clear();
    for (Open &o : g_open)
        o = Open();
}

void MemoryFilesSetRoot(const char *windowsDirectory) { g_root = windowsDirectory; }

HANDLE MemoryCreateFile(LPCSTR path, DWORD access, DWORD disposition)
{
    int slot = 0;
    while (slot < kMaxFiles && g_open[slot].content)
        slot++;
    if (slot == kMaxFiles)
        return INVALID_HANDLE_VALUE;
    bool write = (access & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
    if (!write && !(access & GENERIC_READ))
        return INVALID_HANDLE_VALUE;
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS && disposition != CREATE_NEW &&
        disposition != CREATE_ALWAYS)
        return INVALID_HANDLE_VALUE;

    if (!Resolve(path, &g_path))
        return INVALID_HANDLE_VALUE;
    Entry *e = Find(g_path);
    if (e && (e->folder || disposition == CREATE_NEW))
        return INVALID_HANDLE_VALUE;
    if (!e && disposition == OPEN_EXISTING)
        return INVALID_HANDLE_VALUE;
    if (!e) {
        g_entries.push_back(Entry{g_path, false, std::make_shared<std::string>()});
        e = &g_entries.back();
    } else if (disposition == CREATE_ALWAYS) {
        e->content->clear();
    }
    g_open[slot] = Open{e->content, write, (access & FILE_APPEND_DATA) != 0, 0};
    return (HANDLE)(slot + kHandleBias);
}

BOOL MemoryWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written)
{
    int slot = SlotOf(file);
    if (written)
        *written = 0;
    if (slot < 0)
        return FALSE;
    Open &o = g_open[slot];
    if (!o.write)
        return size == 0;
    std::string &content = *o.content;
    if (o.append)
        o.position = content.size();
    if (content.size() < o.position + size)
        content.resize(o.position + size);
    if (size > 0)
        memcpy(&content[o.position], data, size);
    o.position += size;
    if (written)
        *written = size;
    return TRUE;
}

BOOL MemoryCloseFile(HANDLE file)
{
    int slot = SlotOf(file);
    if (slot < 0)
        return FALSE;
    g_open[slot] = Open();
    return TRUE;
}

BOOL MemoryDeleteFile(LPCSTR path)
{
    if (!Resolve(path, &g_path))
        return FALSE;
    for (size_t i = 0; i < g_entries.size(); i++)
        if (SameName(g_entries[i].path, g_path)) {
            if (g_entries[i].folder)
                return FALSE;
            g_entries.erase(g_entries.begin() + i);
            return TRUE;
        }
    return FALSE;
}

int MemoryOpenFileCount()
{
    int n = 0;
    for (const Open &o : g_open)
        if (o.content)
            n++;
    return n;
}

void MemoryMakeFolder(const std::string &windowsPath)
{
    const char *p = Below(windowsPath.c_str()), *start;
    if (p == nullptr)
        return;
    size_t length;
    std::string path;
    while (NextComponent(&p, &start, &length)) {
        if (!path.empty())
            path += '\\';
        path.append(start, length);
        if (Entry *e = Find(path))
            path = e->path;
        else
            g_entries.push_back(Entry{path, true, nullptr});
    }
}

bool MemoryPutFile(const std::string &windowsPath, const std::string &content)
{
    size_t cut = windowsPath.rfind('\\');
    if (cut == std::string::npos)
        return false;
    MemoryMakeFolder(windowsPath.substr(0, cut));
    HANDLE file = MemoryCreateFile(windowsPath.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = MemoryWriteFile(file, content.data(), (DWORD)content.size(), nullptr);
    MemoryCloseFile(file);
    return ok != FALSE;
}

bool MemoryReadFile(const std::string &windowsPath, std::string *content)
{
    if (!Resolve(windowsPath.c_str(), &g_path))
        return false;
    Entry *e = Find(g_path);
    if (e == nullptr || e->folder)
        return false;
    *content = *e->content;
    return true;
}

void MemoryRemoveFolder(const std::string &windowsPath)
{
    // Below a folder that is not there, nothing is.
    std::string path;
    if (!Resolve(windowsPath.c_str(), &path))
        return;
    for (size_t i = g_entries.size(); i-- > 0;) {
        const std::string &p = g_entries[i].path;
        if (SameName(p, path) || (p.size() > path.size() && p[path.size()] == '\\' &&
                                  SameName(p.substr(0, path.size()), path)))
            g_entries.erase(g_entries.begin() + i);
    }
}

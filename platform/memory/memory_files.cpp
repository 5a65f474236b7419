// Files below the Windows directory held in memory, answering as the host files do.
#include "platform/memory/memory_files.h"
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
Open g_open[kMaxFiles];

bool SameName(const std::string &a, const std::string &b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// The components of a path below the Windows directory, runs of "\" taken as
// one; false when the path does not lie below it or a component is not a name.
bool Components(const char *path, std::vector<std::string> *out)
{
    const char *p = HostPathBelow(g_root.c_str(), path);
    if (p == nullptr)
        return false;
    out->clear();
    for (;;) {
        while (*p == '\\')
            p++;
        if (*p == '\0')
            return !out->empty();
        const char *end = strchr(p, '\\');
        size_t length = end ? (size_t)(end - p) : strlen(p);
        if (!HostPathComponentValid(p, length))
            return false;
        out->push_back(std::string(p, length));
        p += length;
    }
}

Entry *Find(const std::string &path)
{
    for (Entry &e : g_entries)
        if (SameName(e.path, path))
            return &e;
    return nullptr;
}

// The parent's path in its stored spelling, when every folder on the way
// exists; the leaf as given.
bool Parent(const char *path, std::string *parent, std::string *leaf)
{
    std::vector<std::string> parts;
    if (!Components(path, &parts))
        return false;
    parent->clear();
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        std::string next = parent->empty() ? parts[i] : *parent + "\\" + parts[i];
        Entry *folder = Find(next);
        if (folder == nullptr || !folder->folder)
            return false;
        *parent = folder->path;
    }
    *leaf = parts.back();
    return true;
}

std::string Join(const std::string &parent, const std::string &leaf)
{
    return parent.empty() ? leaf : parent + "\\" + leaf;
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

    std::string parent, leaf;
    if (!Parent(path, &parent, &leaf))
        return INVALID_HANDLE_VALUE;
    Entry *e = Find(Join(parent, leaf));
    if (e && (e->folder || disposition == CREATE_NEW))
        return INVALID_HANDLE_VALUE;
    if (!e && disposition == OPEN_EXISTING)
        return INVALID_HANDLE_VALUE;
    if (!e) {
        g_entries.push_back(Entry{Join(parent, leaf), false, std::make_shared<std::string>()});
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
    std::string parent, leaf;
    if (!Parent(path, &parent, &leaf))
        return FALSE;
    std::string whole = Join(parent, leaf);
    for (size_t i = 0; i < g_entries.size(); i++)
        if (SameName(g_entries[i].path, whole)) {
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
    std::vector<std::string> parts;
    if (!Components(windowsPath.c_str(), &parts))
        return;
    std::string path;
    for (const std::string &part : parts) {
        path = Join(path, part);
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
    std::string parent, leaf;
    if (!Parent(windowsPath.c_str(), &parent, &leaf))
        return false;
    Entry *e = Find(Join(parent, leaf));
    if (e == nullptr || e->folder)
        return false;
    *content = *e->content;
    return true;
}

void MemoryRemoveFolder(const std::string &windowsPath)
{
    std::vector<std::string> parts;
    if (!Components(windowsPath.c_str(), &parts))
        return;
    std::string path;
    for (const std::string &part : parts)
        path = Join(path, part);
    for (size_t i = g_entries.size(); i-- > 0;) {
        const std::string &p = g_entries[i].path;
        if (SameName(p, path) || (p.size() > path.size() && p[path.size()] == '\\' &&
                                  SameName(p.substr(0, path.size()), path)))
            g_entries.erase(g_entries.begin() + i);
    }
}

// The in-memory registry store: a tree of keys and values that the registry
// front serves, and the tests' direct view of it.
#include "platform/memory/memory_platform.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "platform/emulated/key_names.h"
#include "platform/emulated/registry_front.h"

namespace memplat {
namespace {

struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

struct Key {
    std::string name;
    Key *parent = nullptr;
    std::vector<std::unique_ptr<Key>> children; // in key-name order
    std::vector<Value> values;                  // in the order of creation
};

struct MemoryStore : RegistryStore {
    std::unique_ptr<Key> root{new Key};
};

MemoryStore g_store;

Key *K(RegistryStore *store, StoreKey key)
{
    return key == kStoreTop ? static_cast<MemoryStore *>(store)->root.get() : (Key *)(uintptr_t)key;
}

StoreKey Id(Key *key) { return (StoreKey)(uintptr_t)key; }

// Where a child of that name is or would go: the children are kept in the
// order of CompareKeyNames, which compares the names' upper-cased UTF-16
// units and so is a total order.
std::vector<std::unique_ptr<Key>>::iterator Place(Key *parent, const char *name)
{
    return std::lower_bound(parent->children.begin(), parent->children.end(), name,
                            [](const std::unique_ptr<Key> &c, const char *n) {
                                return CompareKeyNames(c->name.c_str(), n) < 0;
                            });
}

LONG FindChild(RegistryStore *store, StoreKey key, const char *name, StoreKey *child)
{
    Key *parent = K(store, key);
    auto at = Place(parent, name);
    if (at == parent->children.end() || CompareKeyNames((*at)->name.c_str(), name) != 0)
        return ERROR_FILE_NOT_FOUND;
    *child = Id(at->get());
    return ERROR_SUCCESS;
}

LONG AddChild(RegistryStore *store, StoreKey key, const char *name, StoreKey *child)
{
    Key *parent = K(store, key);
    std::unique_ptr<Key> k(new Key);
    k->name = name;
    k->parent = parent;
    *child = Id(k.get());
    parent->children.insert(Place(parent, name), std::move(k));
    return ERROR_SUCCESS;
}

LONG ChildName(RegistryStore *store, StoreKey key, DWORD index, char *name, size_t capacity,
               size_t *length, uint64_t *lastWrite)
{
    Key *k = K(store, key);
    if (index >= k->children.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string &n = k->children[index]->name;
    *length = n.size();
    if (n.size() < capacity)
        memcpy(name, n.c_str(), n.size() + 1);
    *lastWrite = 0;
    return ERROR_SUCCESS;
}

Value *FindValue(Key *key, const char *name)
{
    for (Value &v : key->values)
        if (lstrcmpiA(v.name.c_str(), name) == 0)
            return &v;
    return nullptr;
}

LONG GetValue(RegistryStore *store, StoreKey key, const char *name, DWORD *type, BYTE *data,
              size_t capacity, uint64_t *size)
{
    Value *v = FindValue(K(store, key), name);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    *type = v->type;
    *size = v->data.size();
    if (data != nullptr && v->data.size() <= capacity)
        memcpy(data, v->data.data(), v->data.size());
    return ERROR_SUCCESS;
}

LONG SetValue(RegistryStore *store, StoreKey key, const char *name, DWORD type, const BYTE *data,
              DWORD size)
{
    std::string bytes(reinterpret_cast<const char *>(data), data ? size : 0);
    Key *k = K(store, key);
    if (Value *v = FindValue(k, name)) {
        v->type = type;
        v->data = bytes;
    } else {
        k->values.push_back(Value{name, type, bytes});
    }
    return ERROR_SUCCESS;
}

LONG Writable(RegistryStore *, StoreKey) { return ERROR_SUCCESS; }
void Hold(RegistryStore *, StoreKey) {}
LONG Release(RegistryStore *, StoreKey) { return ERROR_SUCCESS; }

const RegistryStoreMethods kMethods = {FindChild, AddChild, ChildName, GetValue,
                                       SetValue,  Writable, Hold,      Release};

std::string PathOf(const Key *key)
{
    std::string path;
    for (; key && key->parent; key = key->parent)
        path = path.empty() ? key->name : key->name + "\\" + path;
    return path;
}

Key *FindPath(const std::string &path)
{
    Key *key = g_store.root.get();
    size_t start = 0;
    while (key && start < path.size()) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        StoreKey child;
        key = FindChild(&g_store, Id(key), name.c_str(), &child) == ERROR_SUCCESS ? K(&g_store, child)
                                                                                  : nullptr;
        start = end == std::string::npos ? path.size() : end + 1;
    }
    return key;
}

void DumpKey(const Key *key, std::string *out)
{
    if (key->parent)
        *out += "[" + PathOf(key) + "]\n";
    for (const Value &v : key->values) {
        char head[32];
        snprintf(head, sizeof head, " type %u:", (unsigned)v.type);
        *out += "  \"" + v.name + "\"" + head;
        for (unsigned char c : v.data) {
            char b[4];
            snprintf(b, sizeof b, " %02x", c);
            *out += b;
        }
        *out += "\n";
    }
    for (const auto &c : key->children)
        DumpKey(c.get(), out);
}

} // namespace

void MountMemoryStore()
{
    g_store.methods = &kMethods;
    g_store.root.reset(new Key);
    RegistryFrontMount(&g_store);
}

std::vector<std::string> ValueNames(const std::string &path)
{
    std::vector<std::string> names;
    if (Key *key = FindPath(path))
        for (const Value &v : key->values)
            names.push_back(v.name);
    return names;
}

std::string Dump()
{
    std::string out;
    DumpKey(g_store.root.get(), &out);
    return out;
}

} // namespace memplat

// The in-memory registry store: a tree of keys and values that the registry
// front serves, and the tests' direct view of it.
#include "testing/memory/memory_platform.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "platform/emulated/key_names.h"
#include "platform/emulated/registry_front.h"

namespace memplat {
namespace {

struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

// A key, numbered by its place in the store's table; the top is number 0
// (kStoreTop).
struct Key {
    std::string name;
    StoreKey parent = kStoreTop;
    std::vector<StoreKey> children; // in key-name order
    std::vector<Value> values;      // in the order of creation
};

// The keys in use are the first `used` of the table. A new mount empties
// them but keeps the table, its names and lists: the fuzzer mounts a store
// for every input, and making each key anew cost more than its merge. (So
// that one input frees what it allocated, as libFuzzer's leak check wants,
// the values are freed at the mount.)
struct MemoryStore : RegistryStore {
    std::vector<Key> keys;
    size_t used = 0;
};

MemoryStore g_store;

Key *K(RegistryStore *store, StoreKey key) { return &static_cast<MemoryStore *>(store)->keys[key]; }

// The next key of the table, for use. Keys past the ones in use have no
// children and no values: the mount empties every key it takes back.
StoreKey NewKey(MemoryStore *store, const char *name, StoreKey parent)
{
    if (store->used == store->keys.size())
        store->keys.emplace_back();
    StoreKey id = store->used++;
    Key &k = store->keys[id];
    k.name = name;
    k.parent = parent;
    return id;
}

// Searches the children, kept in the order of CompareKeyNames (the names'
// upper-cased UTF-16 units, a total order), for the name: true and its place
// when a child bears it, false and the place it would take otherwise. One
// comparison a step, ending at the first equal name: most lookups walk a
// path of names that are there, compared in full.
bool Search(RegistryStore *store, Key *parent, const char *name, size_t *place)
{
    const Key *keys = static_cast<MemoryStore *>(store)->keys.data();
    const StoreKey *children = parent->children.data();
    size_t low = 0, high = parent->children.size();
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        int order = CompareKeyNames(keys[children[middle]].name.c_str(), name);
        if (order == 0) {
            *place = middle;
            return true;
        }
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    *place = low;
    return false;
}

LONG FindChild(RegistryStore *store, StoreKey key, const char *name, StoreKey *child)
{
    Key *parent = K(store, key);
    size_t place;
    if (!Search(store, parent, name, &place))
        return ERROR_FILE_NOT_FOUND;
    *child = parent->children[place];
    return ERROR_SUCCESS;
}

LONG AddChild(RegistryStore *store, StoreKey key, const char *name, StoreKey *child)
{
    StoreKey id = NewKey(static_cast<MemoryStore *>(store), name, key);
    // The table may have moved: find the parent after the new key is made.
    Key *parent = K(store, key);
    size_t place;
    Search(store, parent, name, &place);
    parent->children.insert(parent->children.begin() + (std::ptrdiff_t)place, id);
    *child = id;
    return ERROR_SUCCESS;
}

LONG ChildName(RegistryStore *store, StoreKey key, DWORD index, char *name, size_t capacity,
               size_t *length, uint64_t *lastWrite)
{
    Key *k = K(store, key);
    if (index >= k->children.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string &n = K(store, k->children[index])->name;
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
    const char *bytes = data ? reinterpret_cast<const char *>(data) : "";
    if (data == nullptr)
        size = 0;
    Key *k = K(store, key);
    if (Value *v = FindValue(k, name)) {
        v->type = type;
        v->data.assign(bytes, size);
    } else {
        k->values.push_back(Value{name, type, std::string(bytes, size)});
    }
    return ERROR_SUCCESS;
}

LONG Writable(RegistryStore *, StoreKey) { return ERROR_SUCCESS; }
void Hold(RegistryStore *, StoreKey) {}
LONG Release(RegistryStore *, StoreKey) { return ERROR_SUCCESS; }

const RegistryStoreMethods kMethods = {FindChild, AddChild, ChildName, GetValue,
                                       SetValue,  Writable, Hold,      Release};

std::string PathOf(StoreKey key)
{
    std::string path;
    for (; key != kStoreTop; key = K(&g_store, key)->parent) {
        const std::string &name = K(&g_store, key)->name;
        path = path.empty() ? name : name + "\\" + path;
    }
    return path;
}

Key *FindPath(const std::string &path)
{
    StoreKey key = kStoreTop;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (FindChild(&g_store, key, name.c_str(), &key) != ERROR_SUCCESS)
            return nullptr;
        start = end == std::string::npos ? path.size() : end + 1;
    }
    return K(&g_store, key);
}

void DumpKey(StoreKey id, std::string *out)
{
    const Key *key = K(&g_store, id);
    if (id != kStoreTop)
        *out += "[" + PathOf(id) + "]\n";
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
    for (StoreKey c : key->children)
        DumpKey(c, out);
}

} // namespace

void MountMemoryStore()
{
    g_store.methods = &kMethods;
    // The values go now; a key's name and list of children keep their room
    // for the key that next takes its place.
    for (size_t i = 0; i < g_store.used; i++) {
        g_store.keys[i].children.clear();
        g_store.keys[i].values.clear();
    }
    g_store.used = 0;
    NewKey(&g_store, "", kStoreTop);
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
    DumpKey(kStoreTop, &out);
    return out;
}

} // namespace memplat

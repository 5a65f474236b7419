// Keys and values of a hive found through hivex: children in key-name order,
// names compared as Windows compares them, values and their data.
#include "platform/offline/hive_set.h"

#include "platform/emulated/codepage.h"
#include "platform/emulated/key_names.h"
#include "platform/registry.h"
#include "platform/offline/regf_big_data.h"
#include "platform/offline/regf_format.h"
#include "platform/offline/regf_finish.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace hive_set {

// A failure reported by hivex while reading: unless it is only a shortage of
// memory, the content is damaged and the hive must not be written back.
LONG HivexFailure(Hive &hive)
{
    if (errno == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    hive.damaged = true;
    return ERROR_BADDB;
}

bool KeyOrder(const Child &a, const Child &b)
{
    return CompareKeyNamesUtf8(a.name.data(), a.name.size(), b.name.data(), b.name.size()) < 0;
}

// The children of a node, read once and kept.
const std::vector<Child> *ChildrenOf(Hive &hive, hive_node_h node, LONG *status)
{
    try {
        auto it = hive.children.find(node);
        if (it != hive.children.end())
            return &it->second;
        errno = 0;
        hive_node_h *kids = hivex_node_children(hive.file.h, node);
        if (kids == NULL) {
            *status = HivexFailure(hive);
            return NULL;
        }
        std::vector<Child> list;
        for (size_t i = 0; kids[i] != 0; i++) {
            errno = 0;
            char *name = hivex_node_name(hive.file.h, kids[i]);
            if (name == NULL) {
                free(kids);
                *status = HivexFailure(hive);
                return NULL;
            }
            std::string utf8;
            try {
                utf8.assign(name);
            } catch (const std::bad_alloc &) {
                free(name);
                free(kids);
                throw;
            }
            free(name);
            list.push_back(Child{kids[i], std::move(utf8)});
        }
        free(kids);
        // In the registry's order, whatever order the hive keeps them in
        // (hivex adds a key where a lower-case comparison puts it).
        if (!std::is_sorted(list.begin(), list.end(), KeyOrder))
            std::stable_sort(list.begin(), list.end(), KeyOrder);
        auto done = hive.children.emplace(node, std::move(list));
        return &done.first->second;
    } catch (const std::bad_alloc &) {
        *status = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
}

// The names of the grown keys' children that the lookups have read, for the
// last pass, which then need not read their records again.
void KnownNames(Hive &hive)
{
    RegfFinish &finish = hive.file.finish;
    finish.names.clear();
    try {
        for (uint32_t node : finish.grown) {
            auto kids = hive.children.find(node);
            if (kids != hive.children.end())
                for (const Child &c : kids->second)
                    finish.names.push_back({(uint32_t)c.node, &c.name});
        }
        std::sort(finish.names.begin(), finish.names.end());
        finish.names.erase(std::unique(finish.names.begin(), finish.names.end()), finish.names.end());
    } catch (const std::bad_alloc &) {
        finish.names.clear(); // read from the file instead
    }
}

// Finds the child of a node named name (ANSI) without regard to case.
// 0 with *status ERROR_FILE_NOT_FOUND when there is none.
hive_node_h FindChild(Hive &hive, hive_node_h node, const char *name, LONG *status)
{
    const std::vector<Child> *kids = ChildrenOf(hive, node, status);
    if (kids == NULL)
        return 0;
    // The children are in the registry's order: the first whose name sorts
    // at or after name is the one, if any is.
    char utf8[4 * 256 + 1];
    if (AnsiToUtf8(name, utf8, sizeof utf8)) {
        size_t size = strlen(utf8);
        auto at = std::lower_bound(kids->begin(), kids->end(), utf8, [size](const Child &c, const char *n) {
            return CompareKeyNamesUtf8(c.name.data(), c.name.size(), n, size) < 0;
        });
        if (at != kids->end() && NameEqualsUtf8(name, at->name.data(), at->name.size()))
            return at->node;
    } else {
        for (const Child &c : *kids)
            if (NameEqualsUtf8(name, c.name.data(), c.name.size()))
                return c.node;
    }
    *status = ERROR_FILE_NOT_FOUND;
    return 0;
}

// Finds a value by name (ANSI, "" or NULL for the default value)
// without regard to case; its stored name, as hivex spells it, into key.
hive_value_h FindValue(Hive &hive, hive_node_h node, const char *name, std::string *key,
                       LONG *status)
{
    const char *want = name ? name : "";
    errno = 0;
    hive_value_h *values = hivex_node_values(hive.file.h, node);
    if (values == NULL) {
        *status = HivexFailure(hive);
        return 0;
    }
    hive_value_h found = 0;
    for (size_t i = 0; values[i] != 0 && found == 0; i++) {
        errno = 0;
        char *k = hivex_value_key(hive.file.h, values[i]);
        if (k == NULL) {
            *status = HivexFailure(hive);
            free(values);
            return 0;
        }
        if (NameEqualsUtf8(want, k, strlen(k))) {
            found = values[i];
            if (key) {
                try {
                    key->assign(k);
                } catch (const std::bad_alloc &) {
                    free(k);
                    free(values);
                    *status = ERROR_NOT_ENOUGH_MEMORY;
                    return 0;
                }
            }
        }
        free(k);
    }
    free(values);
    if (found == 0)
        *status = ERROR_FILE_NOT_FOUND;
    return found;
}

// A value's data and type. hivex hands over the type as the hive stores it,
// any 32-bit number, in its enum type: it is taken as a number, never read
// as the enum, whose values it may lie outside.
static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type holds a 32-bit type");
char *ValueData(Hive &hive, hive_value_h v, DWORD *type, size_t *len)
{
    hive_type t;
    memset(&t, 0, sizeof t);
    errno = 0;
    char *data = hivex_value_value(hive.file.h, v, &t, len);
    uint32_t n;
    memcpy(&n, &t, sizeof n);
    *type = (DWORD)n;
    return data;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool Listed(const std::vector<uint32_t> &list, hive_node_h node)
{
    return std::find(list.begin(), list.end(), (uint32_t)node) != list.end();
}

// hivex sets a value by dropping every value of the key and writing them all
// again: whether each one but the value replaced can be written back, so that
// hivex never stops halfway through the key (ERROR_SUCCESS, or the status
// the set answers). The first time, the segments of its big values, which
// hivex leaves allocated, are added to orphans.
LONG CheckRewritable(Hive &hive, hive_node_h node, hive_value_h replaced,
                     std::vector<RegfOrphan> *orphans)
{
    bool first = !Listed(hive.file.finish.rewritten, node);
    errno = 0;
    hive_value_h *values = hivex_node_values(hive.file.h, node);
    if (values == NULL)
        return HivexFailure(hive);
    LONG status = ERROR_SUCCESS;
    for (size_t i = 0; values[i] != 0 && status == ERROR_SUCCESS; i++) {
        hive_type t;
        size_t len = 0;
        errno = 0;
        if (hivex_value_type(hive.file.h, values[i], &t, &len) != 0)
            status = HivexFailure(hive);
        else if (values[i] != replaced && len > 4 && (uint64_t)len + 4 > kMaxDataCell)
            status = kNoRoomForValue;
        else if (first && RegfTraitsOf(hive.file.minor).bigData && len > kRegfBigDataSegment)
            // A record that cannot be read leaves its cells allocated: space
            // lost, nothing else.
            CollectBigDataCells(hive.file.lockfd,
                                (uint32_t)hivex_value_data_cell_offset(hive.file.h, values[i], NULL),
                                orphans);
    }
    free(values);
    return status;
}

// A value's type and data as one string of bytes, to compare.
std::vector<unsigned char> TypedBytes(DWORD type, const std::vector<unsigned char> &data)
{
    std::vector<unsigned char> bytes(4 + data.size());
    memcpy(bytes.data(), &type, 4);
    if (!data.empty())
        memcpy(bytes.data() + 4, data.data(), data.size());
    return bytes;
}

std::vector<unsigned char> TypedData(Hive &hive, hive_value_h value)
{
    DWORD type = 0;
    size_t len = 0;
    char *raw = ValueData(hive, value, &type, &len);
    std::vector<unsigned char> data(raw, raw + (raw ? len : 0));
    free(raw);
    return TypedBytes(type, data);
}

} // namespace hive_set

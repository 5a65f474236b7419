// Values of the offline store: read and set through hivex, string data
// converted between the ANSI code page of the registry calls and the
// UTF-16LE the hive stores; a set that changes nothing is no change.
#include "platform/offline/hive_set.h"

#include "platform/emulated/codepage.h"
#include "platform/registry.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

namespace hive_set {

LONG StoreGetValue(RegistryStore *, StoreKey key, const char *name, DWORD *type, BYTE *data,
                   size_t capacity, uint64_t *size)
{
    if (key == kStoreTop)
        return ERROR_FILE_NOT_FOUND;
    Hive &hive = g_hives[HiveOf(key)];
    LONG status = ERROR_SUCCESS;
    hive_value_h v = FindValue(hive, NodeOf(key), name, NULL, &status);
    if (v == 0)
        return status;
    size_t len;
    char *raw = ValueData(hive, v, type, &len);
    if (raw == NULL)
        return HivexFailure(hive);
    const unsigned char *stored = (const unsigned char *)raw;
    bool text = IsStringType(*type);
    size_t needed = text ? Utf16leToAnsi(stored, len, NULL, 0) : len;
    *size = needed;
    if (data != NULL && needed <= capacity) {
        if (text)
            Utf16leToAnsi(stored, len, data, capacity);
        else if (needed > 0)
            memcpy(data, stored, needed);
    }
    free(raw);
    return ERROR_SUCCESS;
}

LONG StoreSetValue(RegistryStore *, StoreKey key, const char *name, DWORD dwType,
                   const BYTE *lpData, DWORD cbData)
{
    Hive &hive = g_hives[HiveOf(key)];
    hive_node_h node = NodeOf(key);
    // Stored, the data takes at least as many bytes as given.
    if ((uint64_t)cbData + 4 > kMaxDataCell)
        return kNoRoomForValue;

    LONG status = ERROR_SUCCESS;
    try {
        std::string stored_name;
        hive_value_h existing = FindValue(hive, node, name, &stored_name, &status);
        if (existing == 0 && status != ERROR_FILE_NOT_FOUND)
            return status;
        if (existing == 0) {
            std::vector<char> utf8(strlen(name) * 3 + 1);
            if (!AnsiToUtf8(name, utf8.data(), utf8.size()))
                return ERROR_INVALID_PARAMETER;
            stored_name.assign(utf8.data());
        }
        std::vector<unsigned char> stored;
        if (IsStringType(dwType)) {
            stored.resize((size_t)cbData * 2);
            stored.resize(AnsiToUtf16le(lpData, cbData, stored.data(), stored.size()));
        } else if (cbData > 0) {
            stored.assign(lpData, lpData + cbData);
        }
        hive_set_value value;
        value.key = &stored_name[0];
        value.t = (hive_type)dwType;
        value.len = stored.size();
        value.value = stored.empty() ? (char *)"" : (char *)stored.data();
        if (stored.size() + 4 > kMaxDataCell)
            return kNoRoomForValue;
        // A value that already holds these bytes is left alone, and one set
        // back to what the file holds is no change: a run that finds
        // everything in order changes nothing, and the hive file is not
        // rewritten.
        if (existing != 0 && TypedData(hive, existing) == TypedBytes(dwType, stored))
            return ERROR_SUCCESS;
        auto was = std::make_pair(node, stored_name);
        if (!hive.values.count(was))
            hive.values[was] = existing == 0 ? std::make_pair(false, std::vector<unsigned char>())
                                             : std::make_pair(true, TypedData(hive, existing));
        if (!hive.before.count(was))
            hive.before[was] = hive.values[was];
        std::vector<RegfOrphan> orphans;
        status = CheckRewritable(hive, node, existing, &orphans);
        if (status != ERROR_SUCCESS)
            return status;
        RegfFinish &finish = hive.file.finish;
        finish.stamped.reserve(finish.stamped.size() + 1);
        finish.rewritten.reserve(finish.rewritten.size() + 1);
        finish.orphaned.reserve(finish.orphaned.size() + orphans.size());
        errno = 0;
        if (hivex_node_set_value(hive.file.h, node, &value, 0) != 0) {
            // As for a key that could not be added: never written after this.
            hive.damaged = true;
            return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
        }
        const auto &file = hive.values[was];
        if (file.first && file.second == TypedBytes(dwType, stored))
            hive.values.erase(was);
        hive.dirty = hive.keyAdded || !hive.values.empty();
        finish.stamped.push_back((uint32_t)node);
        finish.rewritten.push_back((uint32_t)node);
        finish.orphaned.insert(finish.orphaned.end(), orphans.begin(), orphans.end());
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace hive_set

// What a run did to the hives, for the program's report: the outcome of
// each hive's save, the keys it added and the values it set.
#include "platform/offline/hive_set.h"

#include "platform/emulated/codepage.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

using namespace hive_set;

void OfflineHiveOutcome(OfflineHive which, OfflineHiveResult *result)
{
    const Hive &hive = g_hives[which];
    *result = OfflineHiveResult();
    if (!hive.loaded)
        return;
    // What is on disk is what the save's record says.
    result->saveFailed = hive.save.outcome == kSaveHiveAsItWas;
    result->saved = hive.save.outcome == kSaveNewHiveInPlace;
    // Changes not yet due to be saved count as changes too.
    result->changed = hive.changed || hive.dirty;
    snprintf(result->kept, sizeof result->kept, "%s", hive.save.kept);
    result->shown = hive.file.shown;
    result->controlSet = 0;
    if (which == kOfflineSystem && hive.currentControlSet != 0) {
        char *name = hivex_node_name(hive.file.h, hive.currentControlSet);
        if (name != NULL && strncasecmp(name, "ControlSet", 10) == 0)
            result->controlSet = (unsigned)atoi(name + 10);
        free(name);
    }
}

namespace {

// A key's path below its hive's root, in ANSI, "\" between the names.
std::string KeyPath(Hive &hive, hive_node_h node)
{
    std::string path;
    for (hive_node_h n = node; n != 0 && n != hivex_root(hive.file.h); n = hivex_node_parent(hive.file.h, n)) {
        char *utf8 = hivex_node_name(hive.file.h, n);
        char ansi[kMaxKeyName * 2 + 1] = "";
        if (utf8 != NULL)
            Utf8ToAnsi(utf8, strlen(utf8), ansi, sizeof ansi);
        free(utf8);
        path = path.empty() ? std::string(ansi) : std::string(ansi) + "\\" + path;
    }
    return path;
}

} // namespace

std::vector<OfflineChange> OfflineChanges(OfflineHive which)
{
    std::vector<OfflineChange> changes;
    Hive &hive = g_hives[which];
    if (!hive.loaded)
        return changes;
    for (hive_node_h node : hive.added)
        changes.push_back(OfflineChange{KeyPath(hive, node), "", true, false, 0, ""});
    for (const auto &v : hive.before) {
        OfflineChange c{KeyPath(hive, v.first.first), "", false, v.second.first, 0, ""};
        char name[kMaxKeyName * 2 + 1] = "";
        Utf8ToAnsi(v.first.second.data(), v.first.second.size(), name, sizeof name);
        c.value = name;
        if (c.existed && v.second.second.size() >= 4) {
            memcpy(&c.type, v.second.second.data(), 4);
            const unsigned char *data = v.second.second.data() + 4;
            size_t len = v.second.second.size() - 4;
            if (IsStringType(c.type)) {
                c.data.resize(Utf16leToAnsi(data, len, NULL, 0));
                if (!c.data.empty())
                    Utf16leToAnsi(data, len, (unsigned char *)&c.data[0], c.data.size());
            } else {
                c.data.assign((const char *)data, len);
            }
        }
        changes.push_back(c);
    }
    return changes;
}


// Which control set of a SYSTEM hive the repair goes to.
#include "platform/offline/hive_set.h"

#include "platform/offline/regf_bytes.h"
#include "platform/registry.h"

#include <stdio.h>
#include <stdlib.h>

namespace hive_set {

namespace {

// The control set that Select\<which> names: its number, or 0 when the value
// is missing (*given false), is not a number of a set, or names a set the
// hive lacks.
unsigned SelectedSet(Hive &hive, hive_node_h root, hive_node_h select, const char *which,
                     hive_node_h *set, bool *given)
{
    LONG status;
    hive_value_h v = FindValue(hive, select, which, NULL, &status);
    *given = v != 0;
    if (v == 0)
        return 0;
    DWORD t;
    size_t len;
    char *data = ValueData(hive, v, &t, &len);
    if (data == NULL)
        return 0;
    uint32_t n = 0;
    bool ok = t == REG_DWORD && len == 4;
    if (ok)
        n = Get32((const unsigned char *)data);
    free(data);
    if (!ok || n == 0 || n > 999)
        return 0;
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", (unsigned)n);
    *set = FindChild(hive, root, name, &status);
    return *set != 0 ? n : 0;
}

} // namespace

// The control set the repair goes to: the one Select\Default names, which
// the boot loader starts next, else the one Select\Current names (the set of
// the last boot).
bool FindControlSet(Hive &hive, HiveLoadReport *report)
{
    LONG status;
    hive_node_h root = hivex_root(hive.file.h);
    hive_node_h select = FindChild(hive, root, "Select", &status);
    if (select == 0)
        return false;
    hive_node_h byDefault = 0, byCurrent = 0;
    bool defaultGiven = false, currentGiven = false;
    report->byDefault = SelectedSet(hive, root, select, "Default", &byDefault, &defaultGiven);
    report->byCurrent = SelectedSet(hive, root, select, "Current", &byCurrent, &currentGiven);
    report->defaultGiven = defaultGiven;
    hive.currentControlSet = report->byDefault != 0 ? byDefault : byCurrent;
    return hive.currentControlSet != 0;
}

} // namespace hive_set

// What the steps of the last pass over a hive file (regf_finish.h) share,
// inside the pass alone: the pass itself, and the steps over subkey lists.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_FINISH_PASS_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_FINISH_PASS_H

#include "platform/offline/regf_cells.h"
#include "platform/offline/regf_finish.h"
#include "platform/offline/regf_format.h"

#include <stdint.h>

namespace regf_finish_pass {

// The pass over one file: its cells, what its format has, and why it
// stopped, if it did.
struct Pass {
    const RegfFinish &what;
    RegfCells cells;
    RegfTraits traits = {};
    RegfStatus status = kRegfOk;
    int ioError = 0; // with kRegfIoError

    explicit Pass(const RegfFinish &w) : what(w) {}

    // Stops the pass for what a cell access met (the first reason stays);
    // false, for the steps to return.
    bool Stop() { return Stop(cells.Status(), cells.IoError()); }
    bool Stop(RegfStatus why, int error = 0)
    {
        if (status == kRegfOk) {
            status = why == kRegfOk ? kRegfWrongKind : why;
            ioError = error;
        }
        return false;
    }

    // The key record at the node handle node, as Read (or Change); when
    // there is none, a node handle is not what the pass takes it for.
    const unsigned char *Key(uint32_t node) { return Checked(cells.Read(node, regf_nk::kName, "nk")); }
    unsigned char *ChangeKey(uint32_t node) { return Checked(cells.Change(node, regf_nk::kName, "nk")); }

private:
    template <typename T> T *Checked(T *nk)
    {
        if (nk == NULL)
            Stop(cells.Status() == kRegfIoError ? kRegfIoError : kRegfUnknownLayout, cells.IoError());
        return nk;
    }
};

// Turns every hash leaf of the key tree into a fast leaf, the hint of each
// entry made from the name of its key, for a format that has no hash leaves.
bool MakeFastLeaves(Pass &pass);

// Puts the subkey list of the key at node in the registry's order, its
// hashes and hints made anew (see regf_finish_lists.cpp); false, the pass
// stopped, when the list is malformed.
bool SortSubkeys(Pass &pass, uint32_t node);

} // namespace regf_finish_pass

#endif

// The bins of a hive's bytes, cell by cell.
#include "testing/regf_walk.h"

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_format.h"

bool RegfWalkCells(const std::string &d, const std::function<void(const RegfWalkedCell &)> &visit)
{
    for (size_t bin = kRegfBinsStart; bin < d.size();) {
        if (d.size() - bin < regf_bin::kHeaderSize || d.compare(bin + regf_bin::kSignature, 4, "hbin") != 0)
            return false;
        size_t binSize = Get32(d, bin + regf_bin::kSize);
        if (binSize < kRegfBinBlock || binSize > d.size() - bin)
            return false;
        for (size_t cell = bin + regf_bin::kHeaderSize; cell < bin + binSize;) {
            if (bin + binSize - cell < 4)
                return false;
            int32_t raw = (int32_t)Get32(d, cell);
            size_t length = raw < 0 ? (size_t)-(int64_t)raw : (size_t)raw;
            if (length < 8 || length > bin + binSize - cell)
                return false;
            visit(RegfWalkedCell{cell, length, raw < 0});
            cell += length;
        }
        bin += binSize;
    }
    return true;
}

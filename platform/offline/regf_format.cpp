// The sums and hashes of the hive file format.
#include "platform/offline/regf_format.h"

#include "platform/emulated/key_names.h"
#include "platform/offline/regf_bytes.h"

#include <string.h>

namespace {

uint16_t NameUnit(const unsigned char *name, size_t i, bool compressed)
{
    return compressed ? name[i] : Get16(name + 2 * i);
}

} // namespace

uint32_t RegfNameHash(const unsigned char *name, size_t length, bool compressed)
{
    size_t count = compressed ? length : length / 2;
    uint32_t hash = 0;
    for (size_t i = 0; i < count; i++)
        hash = hash * 37 + UpperNameUnit(NameUnit(name, i, compressed));
    return hash;
}

uint32_t RegfNameHint(const unsigned char *name, size_t length, bool compressed)
{
    size_t count = compressed ? length : length / 2;
    unsigned char hint[4] = {0, 0, 0, 0};
    for (size_t j = count < 4 ? count : 4; j > 0; j--) {
        uint16_t unit = NameUnit(name, j - 1, compressed);
        if (unit > 0xFF)
            break;
        hint[j - 1] = (unsigned char)unit;
    }
    return Get32(hint);
}

uint32_t RegfLeafKey(const char *sig, const unsigned char *name, size_t length, bool compressed)
{
    return sig[1] == 'h' ? RegfNameHash(name, length, compressed) : RegfNameHint(name, length, compressed);
}

uint32_t RegfChecksum(const unsigned char *block)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < regf_base::kChecksum; i += 4)
        sum ^= Get32(block + i);
    if (sum == 0xFFFFFFFFu)
        sum = 0xFFFFFFFEu;
    if (sum == 0)
        sum = 1;
    return sum;
}

bool ParseRegfHeader(const unsigned char *block, size_t size, RegfHeader *out)
{
    if (size < kRegfBaseBlockSize || memcmp(block, "regf", 4) != 0)
        return false;
    out->sequence1 = Get32(block + regf_base::kSequence1);
    out->sequence2 = Get32(block + regf_base::kSequence2);
    out->major = Get32(block + regf_base::kMajor);
    out->minor = Get32(block + regf_base::kMinor);
    out->rootCell = Get32(block + regf_base::kRootCell);
    out->binsSize = Get32(block + regf_base::kBinsSize);
    out->checksumOk = RegfChecksum(block) == Get32(block + regf_base::kChecksum);
    return true;
}

RegfBaseBlock RegfCheckBaseBlock(const unsigned char *block, size_t size, uint64_t fileSize, RegfHeader *header)
{
    if (!ParseRegfHeader(block, size, header))
        return kRegfBaseNotHive;
    if (header->sequence1 != header->sequence2)
        return kRegfBaseNotClean;
    if (!header->checksumOk || header->major != 1)
        return kRegfBaseBadHeader;
    // hivex takes the size of the bins from the header and would grow the
    // hive to it when a key is added: a size the file does not hold is
    // damage.
    if (header->binsSize == 0 || header->binsSize % kRegfBinBlock != 0 ||
        kRegfBinsStart + (uint64_t)header->binsSize > fileSize || header->rootCell >= header->binsSize)
        return kRegfBaseBadSize;
    return kRegfBaseOk;
}

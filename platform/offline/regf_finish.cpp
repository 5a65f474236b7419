// Last-write times, orphaned cells and big-data records in a hive file hivex
// has written, cell by cell; the subkey lists are in regf_finish_lists.cpp.
#include "platform/offline/regf_finish.h"

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_cells.h"
#include "platform/offline/regf_finish_pass.h"
#include "platform/offline/regf_format.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

using regf_finish_pass::Pass;

bool Stamp(Pass &pass, uint32_t node, uint64_t time)
{
    unsigned char *nk = pass.ChangeKey(node);
    if (nk == NULL)
        return false; // stopped by ChangeKey
    Put64(nk + regf_nk::kTime, time);
    return true;
}

// Frees a cell hivex left behind, when hivex left it as it was found.
bool FreeOrphan(Pass &pass, const RegfOrphan &orphan)
{
    uint64_t size = 0;
    const unsigned char *record = pass.cells.Read(orphan.cell, 0, NULL, &size);
    if (record == NULL)
        return pass.cells.Status() == kRegfIoError ? pass.Stop() : true; // freed by hivex itself
    if (RegfDigest(record, size) != orphan.digest)
        return pass.Stop(kRegfUnknownLayout);
    return pass.cells.Free(orphan.cell) || pass.Stop();
}

// Moves the data of the value whose record vk is (being changed), longer
// than one segment, into a big-data record. False, the pass stopped, when
// the value is not laid out as it should be.
bool MoveToBigData(Pass &pass, RegfBins &bins, unsigned char *vk, uint32_t length)
{
    uint64_t source = RegfFileOffset(Get32(vk + regf_vk::kData)), size = 0;
    const unsigned char *bytes = pass.cells.Read(source, 0, NULL, &size);
    if (bytes == NULL)
        return pass.Stop();
    if (size < length)
        // hivex writing big data itself is what the pass does not know.
        return pass.Stop(size >= 2 && memcmp(bytes, "db", 2) == 0 ? kRegfUnknownLayout : kRegfWrongKind);
    uint32_t db = RegfPutBigData(bins, bytes, length);
    if (db == kRegfNoCell)
        return pass.Stop(kRegfWrongKind);
    Put32(vk + regf_vk::kData, db);
    return pass.cells.Free(source) || pass.Stop();
}

// The big values of the key at node; false when its values are malformed.
bool MoveKeyValues(Pass &pass, RegfBins &bins, uint32_t node, long *moved)
{
    const unsigned char *nk = pass.Key(node);
    if (nk == NULL)
        return false; // stopped by Key
    uint32_t count = Get32(nk + regf_nk::kValueCount);
    if (count == 0)
        return true;
    const unsigned char *list =
        pass.cells.Read(RegfFileOffset(Get32(nk + regf_nk::kValueList)), 4 * (uint64_t)count);
    if (list == NULL)
        return pass.Stop();
    std::vector<uint64_t> values;
    for (uint32_t i = 0; i < count; i++)
        values.push_back(RegfFileOffset(Get32(list + 4 * (size_t)i)));
    for (uint64_t vk : values) {
        const unsigned char *v = pass.cells.Read(vk, regf_vk::kName, "vk");
        if (v == NULL)
            return pass.Stop();
        uint32_t length = Get32(v + regf_vk::kDataLength);
        if ((length & regf_vk::kDataInline) != 0 || length <= kRegfBigDataSegment)
            continue; // in the value record itself, or fits one cell
        // The record just read, taken to be changed as it was read.
        unsigned char *changed = pass.cells.Change(vk, regf_vk::kName, "vk");
        if (changed == NULL)
            return pass.Stop();
        if (!MoveToBigData(pass, bins, changed, length))
            return false;
        (*moved)++;
    }
    return true;
}

std::vector<uint32_t> Once(std::vector<uint32_t> keys)
{
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

bool Finish(Pass &pass, int fd, const RegfFinish &what, long *moved)
{
    if (!pass.cells.Open(fd))
        return pass.Stop();
    const RegfHeader &header = pass.cells.Header();
    pass.traits = RegfTraitsOf(header.minor);

    for (uint32_t node : what.stamped)
        if (!Stamp(pass, node, what.time))
            return false;
    for (const RegfOrphan &orphan : what.orphaned)
        if (!FreeOrphan(pass, orphan))
            return false;
    if (!pass.traits.hashLeaves) {
        // The walk reads every key and list: a window at a time, as a hive
        // keeps a key's cells close together.
        pass.cells.ReadAhead(64 * 1024);
        bool made = regf_finish_pass::MakeFastLeaves(pass);
        pass.cells.ReadAhead(0);
        if (!made)
            return false;
    }
    for (uint32_t node : Once(what.grown))
        if (!regf_finish_pass::SortSubkeys(pass, node))
            return false;

    RegfBins bins(header.binsSize, 0);
    if (pass.traits.bigData)
        for (uint32_t node : Once(what.rewritten))
            if (!MoveKeyValues(pass, bins, node, moved))
                return false;
    bins.Close();

    unsigned char *base = pass.cells.Base();
    Put64(base + regf_base::kTime, what.time);
    // Windows XP keeps the same time in the first bin; later versions
    // leave it 0, and so is it kept.
    unsigned char *first = base + kRegfBinsStart;
    if (memcmp(first, "hbin", 4) == 0 && (Get32(first + regf_bin::kTime) | Get32(first + regf_bin::kTime + 4)) != 0)
        Put64(first + regf_bin::kTime, what.time);
    Put32(base + regf_base::kBinsSize, bins.End());
    Put32(base + regf_base::kChecksum, RegfChecksum(base));
    if (!pass.cells.WriteBack())
        return pass.Stop();
    if (!bins.Bytes().empty() &&
        !WriteAllAt(fd, bins.Bytes().data(), bins.Bytes().size(), (off_t)RegfFileOffset(bins.Start())))
        return pass.Stop(kRegfIoError, errno);
    return true;
}

} // namespace

RegfStatus FinishCommittedHive(int fd, const RegfFinish &what, long *moved, int *ioError)
{
    Pass pass(what);
    long count = 0;
    try {
        Finish(pass, fd, what, &count);
    } catch (const std::bad_alloc &) {
        pass.Stop(kRegfIoError, ENOMEM);
    }
    if (moved != NULL)
        *moved = count;
    if (ioError != NULL)
        *ioError = pass.ioError;
    return pass.status;
}

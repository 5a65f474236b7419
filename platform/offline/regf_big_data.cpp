// Big data: written into new bins, and its cells read back with their
// digests.
#include "platform/offline/regf_big_data.h"

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_format.h"

#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

uint64_t RegfDigest(const unsigned char *record, uint64_t size)
{
    uint64_t h = 0xCBF29CE484222325ull ^ size;
    for (uint64_t i = 0; i < size; i++)
        h = (h ^ record[i]) * 0x100000001B3ull;
    return h;
}

uint32_t RegfPutBigData(RegfBins &bins, const unsigned char *data, size_t size)
{
    uint64_t count = (size + kRegfBigDataSegment - 1) / kRegfBigDataSegment;
    if (count > 0xFFFF)
        return kRegfNoCell;
    uint32_t db = bins.Place(8);
    uint32_t list = db == kRegfNoCell ? kRegfNoCell : bins.Place(4 * count);
    if (list == kRegfNoCell)
        return kRegfNoCell;
    unsigned char *record = bins.Record(db);
    memcpy(record, "db", 2);
    Put16(record + regf_db::kCount, (uint16_t)count);
    Put32(record + regf_db::kList, list);
    for (uint32_t i = 0; i < count; i++) {
        size_t done = (size_t)i * kRegfBigDataSegment;
        size_t part = std::min<size_t>(kRegfBigDataSegment, size - done);
        uint32_t segment = bins.Place((uint64_t)kRegfBigDataSegment + 4);
        if (segment == kRegfNoCell)
            return kRegfNoCell;
        memcpy(bins.Record(segment), data + done, part);
        Put32(bins.Record(list) + 4 * (size_t)i, segment);
    }
    return db;
}

bool CollectBigDataCells(int fd, uint32_t cell, std::vector<RegfOrphan> *cells)
{
    RegfCells file;
    uint64_t size = 0;
    const unsigned char *db = file.Open(fd) ? file.Read(cell, 8, "db") : NULL;
    if (db == NULL)
        return file.Status() != kRegfIoError; // a plain cell: nothing beyond it
    uint32_t count = Get16(db + regf_db::kCount);
    uint64_t list = RegfFileOffset(Get32(db + regf_db::kList));
    const unsigned char *segments = file.Read(list, 4 * (uint64_t)count, NULL, &size);
    if (segments == NULL)
        return false;
    try {
        std::vector<uint64_t> offsets;
        for (uint32_t i = 0; i < count; i++)
            offsets.push_back(RegfFileOffset(Get32(segments + 4 * (size_t)i)));
        cells->push_back({(uint32_t)list, RegfDigest(segments, size)});
        for (uint64_t segment : offsets) {
            const unsigned char *bytes = file.Read(segment, 0, NULL, &size);
            if (bytes != NULL)
                cells->push_back({(uint32_t)segment, RegfDigest(bytes, size)});
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

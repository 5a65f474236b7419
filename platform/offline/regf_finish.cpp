// Last-write times, subkey order and big-data records in a hive file hivex
// has written.
#include "platform/offline/regf_finish.h"

#include "platform/emulated/key_names.h"
#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_file.h"

#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

const uint64_t kBinsStart = 0x1000;
const uint64_t kBinHeader = 0x20;
const uint64_t kBinBlock = 0x1000;

uint64_t Align8(uint64_t n) { return (n + 7) & ~(uint64_t)7; }

// The hive file in memory, and the ranges of it that were changed.
struct Image {
    std::vector<unsigned char> bytes;
    uint64_t binsEnd = 0;
    std::vector<std::pair<uint64_t, uint64_t>> changed; // offset, length

    // The size of the allocated cell at file offset at, when it holds at
    // least need bytes after its size field and starts with sig (when
    // given); 0 otherwise.
    uint64_t Cell(uint64_t at, uint64_t need, const char *sig) const
    {
        if (at < kBinsStart + kBinHeader || at % 8 != 0 || at + 4 > binsEnd)
            return 0;
        int32_t raw = (int32_t)Get32(&bytes[at]);
        if (raw >= 0 || raw == INT32_MIN)
            return 0;
        uint64_t size = (uint64_t)(-(int64_t)raw);
        if (size < 4 + need || at + size > binsEnd)
            return 0;
        if (sig != NULL && (size < 6 || memcmp(&bytes[at + 4], sig, 2) != 0))
            return 0;
        return size;
    }

    void Changed(uint64_t at, uint64_t length) { changed.push_back({at, length}); }
};

// Cells put in new bins behind the last one. A bin is made for the first
// cell that does not fit the current one, as large as that cell needs in 4 KB
// blocks; what a bin has left when the next opens is one free cell.
struct NewBins {
    Image &image;
    uint64_t start;
    uint64_t next = 0, end = 0;

    explicit NewBins(Image &i) : image(i), start(i.binsEnd) { next = end = start; }

    void Close()
    {
        if (next < end)
            Put32(&image.bytes[next], (uint32_t)(end - next));
        next = end;
    }

    // A zeroed allocated cell of size bytes (a multiple of 8); its file
    // offset, or 0 when the bins would outgrow what the header can hold.
    uint64_t Place(uint64_t size)
    {
        if (next + size > end) {
            Close();
            uint64_t binSize = (kBinHeader + size + kBinBlock - 1) / kBinBlock * kBinBlock;
            if (end + binSize - kBinsStart > 0x7FFFF000u)
                return 0;
            if (image.bytes.size() < end + binSize)
                image.bytes.resize(end + binSize);
            memset(&image.bytes[end], 0, binSize);
            unsigned char *bin = &image.bytes[end];
            memcpy(bin, "hbin", 4);
            Put32(bin + 4, (uint32_t)(end - kBinsStart));
            Put32(bin + 8, (uint32_t)binSize);
            next = end + kBinHeader;
            end += binSize;
        }
        uint64_t at = next;
        next += size;
        Put32(&image.bytes[at], (uint32_t)(-(int32_t)size));
        return at;
    }
};

bool Stamp(Image &image, uint32_t node, uint64_t time)
{
    if (image.Cell(node, 0x4C, "nk") == 0)
        return false;
    Put64(&image.bytes[node + 4 + 4], time);
    image.Changed(node + 4 + 4, 8);
    return true;
}

// The subkey list of the key at node in the registry's order (by the
// names' upper-case forms), over all the leaves of an index: each entry
// moves whole, and every leaf keeps its size. The hash or hint of every entry
// of a hash or fast leaf is made anew, as the kernel computes it (hivex's own
// are wrong for names beyond ASCII). Lists whose leaves are not all of one
// kind, which Windows never writes, stay as they are. False when the list is
// malformed.
bool SortSubkeys(Image &image, uint32_t node)
{
    if (image.Cell(node, 0x4C, "nk") == 0)
        return false;
    const unsigned char *nk = &image.bytes[node + 4];
    if (Get32(nk + 0x14) == 0)
        return true;
    uint64_t list = kBinsStart + Get32(nk + 0x1C);
    std::vector<uint64_t> leaves;
    if (image.Cell(list, 4, "ri") != 0) {
        uint32_t n = Get16(&image.bytes[list + 6]);
        if (image.Cell(list, 4 + 4 * (uint64_t)n, "ri") == 0)
            return false;
        for (uint32_t i = 0; i < n; i++)
            leaves.push_back(kBinsStart + Get32(&image.bytes[list + 8 + 4 * (uint64_t)i]));
    } else {
        leaves.push_back(list);
    }
    struct Entry {
        std::u16string key;
        unsigned char bytes[8];
    };
    std::vector<Entry> entries;
    char kind[2] = {0, 0};
    for (uint64_t leaf : leaves) {
        const char *sig = image.Cell(leaf, 4, "li") ? "li" : image.Cell(leaf, 4, "lf") ? "lf"
                          : image.Cell(leaf, 4, "lh") ? "lh" : NULL;
        if (sig == NULL)
            return false;
        if (kind[0] != 0 && memcmp(kind, sig, 2) != 0)
            return true;
        memcpy(kind, sig, 2);
    }
    size_t size = kind[1] == 'i' ? 4 : 8;
    bool renamed = false; // a hash or hint made anew differs
    for (uint64_t leaf : leaves) {
        uint32_t n = Get16(&image.bytes[leaf + 6]);
        if (image.Cell(leaf, 4 + size * (uint64_t)n, kind) == 0)
            return false;
        for (uint32_t i = 0; i < n; i++) {
            Entry e;
            memcpy(e.bytes, &image.bytes[leaf + 8 + size * i], size);
            uint64_t child = kBinsStart + Get32(e.bytes);
            if (image.Cell(child, 0x4C, "nk") == 0)
                return false;
            const unsigned char *ck = &image.bytes[child + 4];
            uint32_t length = Get16(ck + 0x48);
            if (image.Cell(child, 0x4C + (uint64_t)length, "nk") == 0)
                return false;
            bool compressed = (Get16(ck + 2) & 0x20) != 0; // one byte a character
            std::vector<uint16_t> units;
            if (compressed)
                units.assign(ck + 0x4C, ck + 0x4C + length);
            else
                for (uint32_t j = 0; j + 1 < length; j += 2)
                    units.push_back(Get16(ck + 0x4C + j));
            e.key = KeyNameSortKeyUtf16(units.data(), units.size());
            if (size == 8) {
                uint32_t made = kind[1] == 'h' ? RegfNameHash(ck + 0x4C, length, compressed)
                                               : RegfNameHint(ck + 0x4C, length, compressed);
                if (Get32(e.bytes + 4) != made) {
                    Put32(e.bytes + 4, made);
                    renamed = true;
                }
            }
            entries.push_back(std::move(e));
        }
    }
    auto order = [](const Entry &a, const Entry &b) { return a.key < b.key; };
    if (std::is_sorted(entries.begin(), entries.end(), order)) {
        if (!renamed)
            return true;
    } else {
        std::stable_sort(entries.begin(), entries.end(), order);
    }
    size_t next = 0;
    for (uint64_t leaf : leaves) {
        uint32_t n = Get16(&image.bytes[leaf + 6]);
        for (uint32_t i = 0; i < n; i++)
            memcpy(&image.bytes[leaf + 8 + size * i], entries[next++].bytes, size);
        image.Changed(leaf + 8, size * n);
    }
    return true;
}

// Moves the data of the value at vk (a plain cell, as hivex writes it) into a
// big-data record. False when the value is not laid out as it should be.
bool MoveToBigData(Image &image, NewBins &bins, uint64_t vk, uint32_t length)
{
    uint64_t source = kBinsStart + Get32(&image.bytes[vk + 4 + 8]);
    uint64_t sourceSize = image.Cell(source, length, NULL);
    if (sourceSize == 0)
        return false;
    uint32_t count = (length + kRegfBigDataSegment - 1) / kRegfBigDataSegment;
    if (count > 0xFFFF)
        return false;
    uint64_t db = bins.Place(Align8(4 + 8));
    uint64_t list = db ? bins.Place(Align8(4 + 4 * (uint64_t)count)) : 0;
    if (list == 0)
        return false;
    memcpy(&image.bytes[db + 4], "db", 2);
    Put16(&image.bytes[db + 6], (uint16_t)count);
    Put32(&image.bytes[db + 8], (uint32_t)(list - kBinsStart));
    for (uint32_t i = 0; i < count; i++) {
        uint32_t done = i * kRegfBigDataSegment;
        uint32_t part = std::min(kRegfBigDataSegment, length - done);
        // Windows gives every segment, the last one too, a cell of the same
        // size: its data and 4 spare bytes, which readers take it to have.
        uint64_t segment = bins.Place(Align8(4 + (uint64_t)kRegfBigDataSegment + 4));
        if (segment == 0)
            return false;
        memcpy(&image.bytes[segment + 4], &image.bytes[source + 4 + done], part);
        Put32(&image.bytes[list + 4 + 4 * (uint64_t)i], (uint32_t)(segment - kBinsStart));
    }
    Put32(&image.bytes[vk + 4 + 8], (uint32_t)(db - kBinsStart));
    image.Changed(vk + 4 + 8, 4);
    Put32(&image.bytes[source], (uint32_t)sourceSize); // the old cell is free
    image.Changed(source, 4);
    return true;
}

// The big values of the key at node; false when its values are malformed.
bool MoveKeyValues(Image &image, NewBins &bins, uint32_t node, long *moved)
{
    if (image.Cell(node, 0x4C, "nk") == 0)
        return false;
    const unsigned char *nk = &image.bytes[node + 4];
    uint32_t count = Get32(nk + 0x24);
    if (count == 0)
        return true;
    uint64_t list = kBinsStart + Get32(nk + 0x28);
    if (image.Cell(list, 4 * (uint64_t)count, NULL) == 0)
        return false;
    for (uint32_t i = 0; i < count; i++) {
        uint64_t vk = kBinsStart + Get32(&image.bytes[list + 4 + 4 * (uint64_t)i]);
        if (image.Cell(vk, 0x14, "vk") == 0)
            return false;
        uint32_t length = Get32(&image.bytes[vk + 4 + 4]);
        if ((length & 0x80000000u) != 0 || length <= kRegfBigDataSegment)
            continue; // in the value cell itself, or fits one cell
        if (!MoveToBigData(image, bins, vk, length))
            return false;
        (*moved)++;
    }
    return true;
}

} // namespace

long FinishCommittedHive(int fd, const RegfFinish &what)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < (off_t)(kBinsStart + kBinHeader))
        return -1;
    Image image;
    try {
        image.bytes.resize((size_t)st.st_size);
        if (!ReadAllAt(fd, image.bytes.data(), image.bytes.size(), 0))
            return -1;
        RegfHeader header;
        if (!ParseRegfHeader(image.bytes.data(), image.bytes.size(), &header))
            return -1;
        image.binsEnd = kBinsStart + header.binsSize;
        if (image.binsEnd > image.bytes.size())
            return -1;

        for (uint32_t node : what.stamped)
            if (!Stamp(image, node, what.time))
                return -1;
        for (uint64_t cell : what.orphaned) {
            uint64_t size = image.Cell(cell, 0, NULL);
            if (size != 0) {
                Put32(&image.bytes[cell], (uint32_t)size);
                image.Changed(cell, 4);
            }
        }

        std::vector<uint32_t> grown = what.grown;
        std::sort(grown.begin(), grown.end());
        grown.erase(std::unique(grown.begin(), grown.end()), grown.end());
        for (uint32_t node : grown)
            if (!SortSubkeys(image, node))
                return -1;

        // Format 1.3 has no big-data records: its values stay in one cell.
        long moved = 0;
        NewBins bins(image);
        if (header.minor >= 4) {
            std::vector<uint32_t> keys = what.rewritten;
            std::sort(keys.begin(), keys.end());
            keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
            for (uint32_t node : keys)
                if (!MoveKeyValues(image, bins, node, &moved))
                    return -1;
        }
        bins.Close();

        unsigned char *base = image.bytes.data();
        Put64(base + 0x0C, what.time);
        // Windows XP keeps the same time in the first bin; later versions
        // leave it 0, and so is it kept.
        unsigned char *first = base + kBinsStart;
        if (memcmp(first, "hbin", 4) == 0 && (Get32(first + 0x14) | Get32(first + 0x18)) != 0) {
            Put64(first + 0x14, what.time);
            image.Changed(kBinsStart + 0x14, 8);
        }
        Put32(base + 0x28, (uint32_t)(bins.end - kBinsStart));
        Put32(base + 0x1FC, RegfChecksum(base));
        image.Changed(0, kRegfBaseBlockSize);
        if (bins.end > bins.start)
            image.Changed(bins.start, bins.end - bins.start);
        for (const auto &c : image.changed)
            if (!WriteAllAt(fd, &image.bytes[c.first], (size_t)c.second, (off_t)c.first))
                return -1;
        return moved;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

bool CollectBigDataCells(int fd, uint32_t cell, std::vector<uint32_t> *cells)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    uint64_t size = (uint64_t)st.st_size;
    // An allocated cell at a file offset: its size, 0 when there is none.
    auto cellSize = [&](uint64_t at) -> uint64_t {
        unsigned char field[4];
        if (at < kBinsStart + kBinHeader || at % 8 != 0 || at + 4 > size ||
            !ReadAllAt(fd, field, 4, (off_t)at))
            return 0;
        int32_t raw = (int32_t)Get32(field);
        if (raw >= 0 || raw == INT32_MIN || at + (uint64_t)(-(int64_t)raw) > size)
            return 0;
        return (uint64_t)(-(int64_t)raw);
    };
    unsigned char db[8];
    if (cellSize(cell) < 12 || !ReadAllAt(fd, db, 8, (off_t)cell + 4) || memcmp(db, "db", 2) != 0)
        return true; // a plain cell: nothing beyond it
    uint32_t count = Get16(db + 2);
    uint64_t list = kBinsStart + Get32(db + 4);
    if (cellSize(list) < 4 + 4 * (uint64_t)count)
        return false;
    try {
        std::vector<unsigned char> offsets(4 * (size_t)count);
        if (count > 0 && !ReadAllAt(fd, offsets.data(), offsets.size(), (off_t)list + 4))
            return false;
        cells->push_back((uint32_t)list);
        for (uint32_t i = 0; i < count; i++) {
            uint64_t segment = kBinsStart + Get32(&offsets[4 * (size_t)i]);
            if (cellSize(segment) != 0)
                cells->push_back((uint32_t)segment);
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

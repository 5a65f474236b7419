// The whole-hive check's walk (regf_check.h), shared by its parts inside the
// check alone: the keys and their records (regf_check.cpp), the security
// cells (regf_check_security.cpp).
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_CHECK_WALK_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_CHECK_WALK_H

#include "platform/offline/regf_bytes.h"
#include "platform/offline/regf_check.h"
#include "platform/offline/regf_format.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace regf_check_walk {

// One bit for every 8 bytes of the bins.
struct Bits {
    std::vector<uint64_t> words;
    void Size(uint64_t bytes) { words.assign((size_t)(bytes / 8 / 64 + 1), 0); }
    void Set(uint64_t at) { words[(size_t)(at / 8 / 64)] |= (uint64_t)1 << (at / 8 % 64); }
    bool Get(uint64_t at) const { return (words[(size_t)(at / 8 / 64)] >> (at / 8 % 64)) & 1; }
};

// Cuts text to fit size bytes with its NUL, "..." at the end, never inside a
// character.
void Cut(std::string *text, size_t size);

// A name as a record stores it (length bytes, one a character when
// compressed, else UTF-16LE), in UTF-8 for a message: control characters and
// broken surrogates shown as "?".
std::string ShownName(const unsigned char *stored, uint32_t length, bool compressed);

// A key waiting to be walked: where its parent's list points, the parent,
// how deep it is and which entry of that list it is.
struct Pending {
    uint32_t cell;
    uint32_t parent;
    uint32_t depth;
    uint32_t entry;
};

// One check of a hive: its bins, mapped; offsets below are of cells, from
// the first bin.
struct Check {
    RegfCheckReport *report;
    const unsigned char *bins = NULL;
    uint64_t size = 0;  // of the bins
    RegfTraits traits = {};
    Bits used;          // where a cell in use starts (cells checked to lie in their bins)
    Bits reached;       // the keys reached, and the security cells met
    std::vector<uint32_t> securityCells; // the security cells met, in that order
    uint64_t securityTotal = 0;          // the security cells in use in the bins
    uint64_t keyCount = 0, entries = 0;
    std::vector<uint32_t> chain; // the key being walked and those above it

    // Ends the check with damage of part at cell; the path is that of the
    // first count keys of the chain.
    bool Fail(RegfDamage damage, RegfPart part, uint64_t cell, uint64_t need = 0, uint64_t room = 0)
    {
        report->damage = damage;
        report->part = part;
        report->at = kRegfBinsStart + cell;
        report->need = need;
        report->room = room;
        Path(chain.size(), report->path, sizeof report->path);
        return false;
    }

    // The path of the first count keys of the chain, the root's name left out.
    void Path(size_t count, char *out, size_t outSize) const
    {
        std::string path;
        for (size_t i = 1; i < count; i++) {
            const unsigned char *nk = bins + chain[i] + 4;
            path += "\\" + ShownName(nk + regf_nk::kName, Get16(nk + regf_nk::kNameLength),
                                     (Get16(nk + regf_nk::kFlags) & regf_nk::kFlagCompressed) != 0);
        }
        Cut(&path, outSize);
        memcpy(out, path.c_str(), path.size() + 1);
    }

    bool InUse(uint32_t cell) const { return cell % 8 == 0 && cell < size && used.Get(cell); }
    // The size of the cell in use at cell, its size field left out.
    uint64_t Room(uint32_t cell) const { return (uint64_t)(-(int64_t)(int32_t)Get32(bins + cell)) - 4; }

    // The record of the cell in use at cell, and its size in *room; NULL
    // (the check failed) when there is none there.
    const unsigned char *Record(uint32_t cell, RegfPart part, uint64_t *room)
    {
        if (!InUse(cell)) {
            Fail(kRegfCheckNotACell, part, cell);
            return NULL;
        }
        *room = Room(cell);
        return bins + cell + 4;
    }
    // The same, when it must hold a record of kind sig of at least need bytes.
    const unsigned char *Record(uint32_t cell, RegfPart part, const char *sig, uint64_t need, uint64_t *room)
    {
        const unsigned char *r = Record(cell, part, room);
        if (r == NULL)
            return NULL;
        if (*room < 2 || memcmp(r, sig, 2) != 0) {
            Fail(kRegfCheckWrongKind, part, cell);
            return NULL;
        }
        if (*room < need) {
            Fail(kRegfCheckTooShort, part, cell, need, *room);
            return NULL;
        }
        return r;
    }
    // A cell in use at cell that holds need bytes.
    bool Holds(uint32_t cell, RegfPart part, uint64_t need)
    {
        if (!InUse(cell))
            return Fail(kRegfCheckNotACell, part, cell);
        uint64_t room = Room(cell);
        return room >= need || Fail(kRegfCheckTooShort, part, cell, need, room);
    }
    // n more list entries read.
    bool Spend(uint64_t n, RegfPart part, uint32_t cell)
    {
        entries += n;
        return entries <= kRegfCheckMaxEntries || Fail(kRegfCheckTooManyEntries, part, cell, kRegfCheckMaxEntries);
    }

    bool Bins();
    bool Key(const Pending &p, std::vector<Pending> *stack);
    bool Subkeys(uint32_t key, const unsigned char *nk, uint32_t depth, std::vector<Pending> *stack);
    bool Values(const unsigned char *nk);
    bool Value(uint32_t vk, uint32_t entry);
    bool Security(uint32_t cell);
    bool SecurityList();
};

} // namespace regf_check_walk

#endif

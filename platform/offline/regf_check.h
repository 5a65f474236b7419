// The whole-hive check: one pass over a hive file, before anything else reads
// its keys, that judges it as Windows' loader and its registry checker do.
// Every bin and cell must lie in the file with a sane size; every key must be
// reached once from the root (no loop, no key in two lists, each record
// naming the key that lists it as its parent, no deeper than the kernel's
// checker allows); subkey lists and their index leaves must be of the right
// kinds, with counts that fit their cells and add up to the key's count;
// value lists, values and their data (big data included) must lie in the
// hive and be as long as they say; class names must fit their cells; the
// security cells must be valid descriptors, on one closed chain. A wrong
// hash or hint, or a list out of name order, is no damage: Windows loads
// such a hive.
//
// The pass is bounded whatever the file holds: the bins are read once, in
// order, and each key at most once (a record of the keys reached is kept);
// the walk keeps its own stack, so no depth the file sets is recursion; and
// a hive may cost at most kRegfCheckMaxKeys keys and kRegfCheckMaxEntries
// list entries. Time and memory are linear in the size of the hive: the file
// is mapped read-only while the check runs (the load reads all of it
// anyway), and what is kept is two bits for every 8 bytes of the bins. It
// reads with plain calls, not through the save's table (host_calls.h).
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_CHECK_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_CHECK_H

#include <stddef.h>
#include <stdint.h>

// What a hive may cost the check: keys reached, and entries of subkey lists,
// value lists and big-data segment lists read, in all. A SYSTEM hive of
// Windows XP or 7 has some 10,000 to 60,000 keys and as many list entries as
// twice that; Windows XP does not start from a SYSTEM hive a tenth as large
// as these allow.
const uint64_t kRegfCheckMaxKeys = 1000000;
const uint64_t kRegfCheckMaxEntries = 4000000;
// Keys nested deeper than this below the root are refused, as Windows
// refuses them (the root is level 0).
const unsigned kRegfCheckMaxDepth = 510;

// What is wrong, the first thing found.
enum RegfDamage {
    kRegfCheckSound = 0,
    kRegfCheckUnreadable,     // the file could not be read (error)
    kRegfCheckBadBin,         // a bin whose header is not one, or whose offset or size is wrong
    kRegfCheckBadCell,        // a cell of size 0, not a multiple of 8, or running past its bin
    kRegfCheckNotACell,       // a reference to no cell in use: outside the bins, into a cell, or free
    kRegfCheckWrongKind,      // the cell referred to holds another kind of record
    kRegfCheckTooShort,       // the cell is shorter than its record says (need, room)
    kRegfCheckBadKey,         // a key record with an empty name, or larger than a key can be
    kRegfCheckReachedTwice,   // a key listed a second time, in two lists or in one
    kRegfCheckLoop,           // a key listed below itself (other: the key it is)
    kRegfCheckWrongParent,    // a key whose record names another parent than the key listing it
    kRegfCheckCountMismatch,  // a subkey list holding another number of keys than its key says (need: the
                         // key's count, room: the list's)
    kRegfCheckTooDeep,        // keys nested deeper than kRegfCheckMaxDepth
    kRegfCheckInlineTooLong,  // a value kept in its record that says it is longer than 4 bytes
    kRegfCheckDataNotEmpty,   // a value of length 0 that points to a data cell
    kRegfCheckFewSegments,    // big data of fewer segments than its length needs (need, room)
    kRegfCheckBadDescriptor,  // a security cell whose descriptor Windows would not take
    kRegfCheckBadSecurityList, // the chain of security cells is broken at this cell
    kRegfCheckTooManyKeys,    // more keys than kRegfCheckMaxKeys (need: the cap)
    kRegfCheckTooManyEntries, // more list entries than kRegfCheckMaxEntries (need: the cap)
    kRegfCheckBadName         // a key or value name in UTF-16 of an odd length or with a broken
                              // surrogate pair: Windows keeps it, but hivex cannot read it
};

// The record the damage is in, or that refers to the damaged cell.
enum RegfPart {
    kRegfPartHive = 0, // the bins, or the hive as a whole
    kRegfPartKey,      // a key (entry: its number in its parent's list, when it cannot be read)
    kRegfPartSubkeys,  // a key's subkey list, or the index of its leaves
    kRegfPartLeaf,     // a leaf of that index (entry: which)
    kRegfPartClass,    // a key's class name
    kRegfPartSecurity, // a key's security cell
    kRegfPartValues,   // a key's value list
    kRegfPartValue,    // a value (entry: its number in the list)
    kRegfPartData,     // a value's data
    kRegfPartSegments, // the segment list of a value's big data
    kRegfPartSegment   // one segment of it (entry: which)
};

// What the check found, for the program to tell.
struct RegfCheckReport {
    RegfDamage damage = kRegfCheckSound;
    RegfPart part = kRegfPartHive;
    uint64_t at = 0;     // the file offset of the bin or cell at fault
    uint64_t need = 0;   // see RegfDamage
    uint64_t room = 0;
    uint32_t entry = 0;  // see RegfPart
    int error = 0;       // kRegfCheckUnreadable: errno
    // The key the damage is in (or whose list refers to it), as far as it is
    // known: its path below the root, each name after "\" (empty: the root
    // key), in UTF-8, control characters as "?", cut with "..." when longer
    // than this holds.
    char path[480] = "";
    // kRegfPartKey: path names the key whose list holds the key at fault as
    // its entry number entry, that key's own record being what is wrong;
    // false when path names the key itself (or is empty for the root).
    bool listed = false;
    char other[480] = ""; // kRegfCheckLoop: the key listed again, the same way
    char value[160] = ""; // the value the damage is in, when its name is known
    bool valueNamed = false;
};

// Checks the hive in fd, whose base block has been checked
// (RegfCheckBaseBlock: a base block it refuses is kRegfCheckBadBin). True when it is sound; else false, with report saying what was
// found first.
bool RegfCheckHive(int fd, RegfCheckReport *report);

#endif

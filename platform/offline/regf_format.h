// The hive file format, named once: the base block, the bins, the cells and
// the records they hold (nk, vk, the subkey lists lf/lh/li/ri, db, sk), the
// fields of each as offsets into its cell, what each version of the format
// has, and the sums and hashes the kernel keeps. Everything that reads or
// writes a hive's bytes itself (the last pass over what hivex wrote, the
// writer of whole hives in testing/) takes its layout from here.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_FORMAT_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_FORMAT_H

#include <stddef.h>
#include <stdint.h>

// The base block: the first 4 KB of the file.
const size_t kRegfBaseBlockSize = 4096;
namespace regf_base {
const size_t kSignature = 0x00; // "regf"
const size_t kSequence1 = 0x04;
const size_t kSequence2 = 0x08;
const size_t kTime = 0x0C; // FILETIME of the last write
const size_t kMajor = 0x14;
const size_t kMinor = 0x18;
const size_t kType = 0x1C;   // 0: a primary file
const size_t kFormat = 0x20; // 1: direct memory load
const size_t kRootCell = 0x24;
const size_t kBinsSize = 0x28; // of all the bins together
const size_t kCluster = 0x2C;
const size_t kChecksum = 0x1FC; // of the 508 bytes before it
} // namespace regf_base

// The bins follow the base block; cells refer to each other by their offset
// from the first bin. A bin is a whole number of 4 KB blocks and starts with
// a header; its cells fill the rest. Each cell starts with its size, a
// multiple of 8, negative while the cell is in use.
const uint64_t kRegfBinsStart = 0x1000;
const uint64_t kRegfBinBlock = 0x1000;
namespace regf_bin {
const size_t kSignature = 0x00; // "hbin"
const size_t kOffset = 0x04;    // of the bin itself, from the first bin
const size_t kSize = 0x08;
const size_t kTime = 0x14; // FILETIME: Windows XP writes it in the first bin
const size_t kHeaderSize = 0x20;
} // namespace regf_bin
const uint32_t kRegfNoCell = 0xFFFFFFFFu;
// The largest bins the base block may describe.
const uint64_t kRegfMaxBinsSize = 0x7FFFF000u;

// The file offset of the cell a record refers to.
inline uint64_t RegfFileOffset(uint32_t cell) { return kRegfBinsStart + cell; }
// The size of a cell holding payload bytes after its size field.
inline uint64_t RegfCellSizeFor(uint64_t payload) { return (4 + payload + 7) & ~(uint64_t)7; }

// The records, their fields as offsets from the start of the record (the
// cell's payload, just after its size field).
namespace regf_nk { // a key
const size_t kFlags = 0x02;
const size_t kTime = 0x04; // FILETIME of the last write
const size_t kParent = 0x10;
const size_t kSubkeyCount = 0x14;
const size_t kSubkeyList = 0x1C;
const size_t kVolatileList = 0x20;
const size_t kValueCount = 0x24;
const size_t kValueList = 0x28; // a cell of value record offsets
const size_t kSecurity = 0x2C;
const size_t kClass = 0x30;
const size_t kMaxSubkeyName = 0x34;
const size_t kMaxValueName = 0x3C;
const size_t kMaxValueData = 0x40;
const size_t kNameLength = 0x48;
const size_t kClassLength = 0x4A;
const size_t kName = 0x4C;
const uint16_t kFlagRoot = 0x0C;       // entry point, never deleted
const uint16_t kFlagCompressed = 0x20; // the name has one byte a character
} // namespace regf_nk
namespace regf_vk { // a value
const size_t kNameLength = 0x02;
const size_t kDataLength = 0x04;
const size_t kData = 0x08; // the data's cell, or the data itself when inline
const size_t kType = 0x0C;
const size_t kFlags = 0x10;
const size_t kName = 0x14;
const uint32_t kDataInline = 0x80000000u; // in kDataLength: up to 4 bytes in kData
const uint16_t kFlagCompressed = 0x01;
} // namespace regf_vk
namespace regf_list { // lf, lh, li, ri: subkey lists and the index of them
const size_t kCount = 0x02;
const size_t kEntries = 0x04; // lf/lh: cell and hint or hash; li/ri: cell
} // namespace regf_list
namespace regf_db { // big data: the list of its segments
const size_t kCount = 0x02;
const size_t kList = 0x04;
} // namespace regf_db
namespace regf_sk { // a security descriptor, shared by keys
const size_t kNext = 0x04;
const size_t kPrevious = 0x08;
const size_t kReferences = 0x0C;
const size_t kLength = 0x10;
const size_t kDescriptor = 0x14;
} // namespace regf_sk

// Data longer than this is kept in segments of this size, where the format
// has big data.
const uint32_t kRegfBigDataSegment = 16344;

// What a version of the format has: format 1.3 (Windows 2000) knows fast
// leaves ("lf") only, 1.5 (Windows XP) hash leaves ("lh") too; big data
// ("db") is kept from 1.4 on.
struct RegfTraits {
    bool hashLeaves;
    bool bigData;
};
inline RegfTraits RegfTraitsOf(uint32_t minor) { return RegfTraits{minor >= 5, minor >= 4}; }

struct RegfHeader {
    uint32_t sequence1;
    uint32_t sequence2;
    uint32_t major;
    uint32_t minor;
    uint32_t rootCell;
    uint32_t binsSize;
    bool checksumOk;
};

// The XOR checksum of the first 508 bytes, as stored at offset 0x1FC.
uint32_t RegfChecksum(const unsigned char *block);

// Parses a base block of at least kRegfBaseBlockSize bytes. False when it
// does not start with the "regf" signature.
bool ParseRegfHeader(const unsigned char *block, size_t size, RegfHeader *out);

// What a base block is, as a hive is taken: the first of these that applies.
enum RegfBaseBlock {
    kRegfBaseOk = 0,
    kRegfBaseNotHive,   // shorter than a base block, or without the "regf" signature
    kRegfBaseNotClean,  // its two sequence numbers differ
    kRegfBaseBadHeader, // its checksum or its major version is wrong
    kRegfBaseBadSize    // its bins are empty, not whole 4 KB blocks, run past the
                        // end of the file, or do not hold the root cell
};

// Checks the base block of a hive file of fileSize bytes, of which block
// holds the first size; *header is parsed when it is a hive's at all.
RegfBaseBlock RegfCheckBaseBlock(const unsigned char *block, size_t size, uint64_t fileSize, RegfHeader *header);

// The hash that a hash leaf ("lh") keeps of a key name and the hint that a
// fast leaf ("lf") keeps, as the kernel computes them, of a name as its key
// record stores it: length bytes at name, one a character when compressed,
// else UTF-16LE. The hash: h = h * 37 + each UTF-16 unit in upper case
// (UpperNameUnit, key_names.h), in 32 bits. The hint: the first four
// characters (fewer for a shorter name) as bytes, the rest 0; where one of
// them is beyond Latin-1, it and those before it are 0 (so a name that is not
// Latin-1 at its start has a hint that starts with 0), as the kernel fills the
// hint from its fourth character back. The hint is returned as the four bytes
// read little-endian.
uint32_t RegfNameHash(const unsigned char *name, size_t length, bool compressed);
uint32_t RegfNameHint(const unsigned char *name, size_t length, bool compressed);
// The one a leaf of the kind sig ("lh" or "lf") keeps.
uint32_t RegfLeafKey(const char *sig, const unsigned char *name, size_t length, bool compressed);

#endif

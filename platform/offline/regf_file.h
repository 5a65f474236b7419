// The few places where the offline registry reads or patches the hive file
// format itself rather than through hivex: the base block (signature,
// sequence numbers, format version, checksum) and the rewriting of hash-leaf
// subkey lists into the older fast-leaf form that format 1.3 hives (Windows
// 2000) are limited to. Whole hives are written by regf_writer.h.
#ifndef TESSARIL_PLATFORM_OFFLINE_REGF_FILE_H
#define TESSARIL_PLATFORM_OFFLINE_REGF_FILE_H

#include <stddef.h>
#include <stdint.h>

const size_t kRegfBaseBlockSize = 4096;

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

// Walks the key tree of the hive in fd and turns every "lh" subkey list into
// an "lf" list (same layout, the hash replaced by the first four characters
// of the key name), in place. Returns the number of lists rewritten, or -1
// when the file cannot be read or written or its tree is malformed (the file
// may then be partly rewritten: only use it on a file that is not yet the
// hive).
long ConvertHashLeavesToFastLeaves(int fd);

#endif

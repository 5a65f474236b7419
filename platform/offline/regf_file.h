// The few places where the offline registry reads or patches the hive file
// format itself rather than through hivex: the base block (signature,
// sequence numbers, format version, checksum) and the rewriting of hash-leaf
// subkey lists into the older fast-leaf form that format 1.3 hives (Windows
// 2000) are limited to. Whole hives are written by testing/regf_writer.h.
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

// The hash that a hash leaf ("lh") keeps of a key name and the hint that a
// fast leaf ("lf") keeps, as the kernel computes them, of a name as its key
// cell stores it: length bytes at name, one a character when compressed,
// else UTF-16LE. The hash: h = h * 37 + each UTF-16 unit in upper case
// (UpperNameUnit, key_names.h), in 32 bits. The hint: the first four
// characters (fewer for a shorter name) as bytes, the rest 0; where one of
// them is beyond Latin-1, it and those before it are 0 (so a name that is not
// Latin-1 at its start has a hint that starts with 0), as the kernel fills the
// hint from its fourth character back. The hint is returned as the four bytes
// read little-endian.
uint32_t RegfNameHash(const unsigned char *name, size_t length, bool compressed);
uint32_t RegfNameHint(const unsigned char *name, size_t length, bool compressed);

// Walks the key tree of the hive in fd and turns every "lh" subkey list into
// an "lf" list (same layout, the hash replaced by the name's hint), in place. Returns the number of lists rewritten, or -1
// when the file cannot be read or written or its tree is malformed (the file
// may then be partly rewritten: only use it on a file that is not yet the
// hive).
long ConvertHashLeavesToFastLeaves(int fd);

#endif

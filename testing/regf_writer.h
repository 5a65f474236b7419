// Writes whole hive files: a key tree laid out cell by cell in one pass,
// compact as a hive Windows has just written, for the sample installations
// and the tests.
#ifndef TESSARIL_TESTING_REGF_WRITER_H
#define TESSARIL_TESTING_REGF_WRITER_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

struct RegfValue {
    std::string name; // UTF-8
    uint32_t type;
    std::string data; // as stored: strings in UTF-16LE
};

struct RegfKey {
    std::string name; // UTF-8
    std::vector<RegfValue> values;
    std::vector<std::unique_ptr<RegfKey>> kids; // in any order: written in key-name order
    std::u16string sortKey; // KeyNameSortKey of name, kept by RegfSubkey
};

// The child of key named name (without regard to case), added when missing.
RegfKey &RegfSubkey(RegfKey &key, const std::string &name);
// The key at path below key ("\" separators), made as needed.
RegfKey &RegfPath(RegfKey &key, const std::string &path);

// Writes a complete hive in format 1.minor for root, whose own name is
// rootName, to fd (truncated first): the base block, then the bins, with one
// security cell (owner Administrators, group SYSTEM; Administrators and SYSTEM
// full control, Everyone read) shared by every key. A format 1.3 hive gets the
// fast-leaf subkey lists of Windows 2000; from format 1.4 on, data longer
// than 16,344 bytes is kept in segments, as Windows keeps it (in 1.3, in one
// cell). False, with a reason in *error, when a value is over a million bytes
// or the file cannot be written.
bool WriteRegfHive(int fd, uint32_t minor, const std::string &rootName, const RegfKey &root,
                   std::string *error);

#endif

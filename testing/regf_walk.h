// The bins of a whole hive file's bytes walked cell by cell, for the tests
// that look at what a run wrote: one walk, by the names of regf_format.h.
#ifndef TESSARIL_TESTING_REGF_WALK_H
#define TESSARIL_TESTING_REGF_WALK_H

#include <stddef.h>

#include <functional>
#include <string>

struct RegfWalkedCell {
    size_t at;   // the file offset of the cell, at its size field
    size_t size; // its size, the size field included
    bool used;   // in use (its size field is negative)
};

// Calls visit for every cell of the bins, in file order, from the first bin
// to the end of the file. True when the bins follow each other to the end:
// each starts with a bin header, is at least one 4 KB block, lies in the
// file and is filled with cells of at least 8 bytes that lie in it. The walk
// stops at the first that is not, with false.
bool RegfWalkCells(const std::string &hive, const std::function<void(const RegfWalkedCell &)> &visit);

#endif

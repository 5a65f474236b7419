// The Linux program's words for the damage the whole-hive check finds in a
// hive: the record at fault, where it is, and what is wrong with it.
#include "tessaril/words.h"

// What the whole-hive check found, and where: the record at fault (the
// key's path as far as it is known), then what is wrong with it.
std::string PhraseDamage(const RegfCheckReport &d)
{
    std::string k = d.path[0] ? Text("key %s", d.path) : "the root key";
    const char *key = k.c_str();
    std::string v = d.valueNamed ? Text("value \"%s\" of %s", d.value, key) : Text("value #%u of %s", d.entry + 1, key);
    const char *value = v.c_str();
    std::string w;
    switch (d.part) {
    case kRegfPartHive:
        w = Text("a cell of the hive's chain of security descriptors");
        break;
    case kRegfPartKey:
        if (d.listed)
            w = Text("subkey #%u of %s", d.entry + 1, key);
        else
            w = Text("%s", key);
        break;
    case kRegfPartSubkeys:
        w = Text("the subkey list of %s", key);
        break;
    case kRegfPartLeaf:
        w = Text("part #%u of the subkey list of %s", d.entry + 1, key);
        break;
    case kRegfPartClass:
        w = Text("the class name of %s", key);
        break;
    case kRegfPartSecurity:
        w = Text("the security descriptor of %s", key);
        break;
    case kRegfPartValues:
        w = Text("the value list of %s", key);
        break;
    case kRegfPartValue:
        w = Text("%s", value);
        break;
    case kRegfPartData:
        w = Text("the data of %s", value);
        break;
    case kRegfPartSegments:
        w = Text("the list of the parts of the data of %s", value);
        break;
    case kRegfPartSegment:
        w = Text("part #%u of the data of %s", d.entry + 1, value);
        break;
    }
    const char *what = w.c_str();
    unsigned long long at = d.at, need = d.need, room = d.room;
    switch (d.damage) {
    case kRegfCheckSound:
    case kRegfCheckUnreadable:
        break;
    case kRegfCheckBadBin:
        return Text("the block of cells at offset 0x%llx is not a valid one (its header, "
                            "offset or size is wrong)", at);
    case kRegfCheckBadCell:
        return Text("the cell at offset 0x%llx has a size that does not fit its block", at);
    case kRegfCheckNotACell:
        return Text("%s lies at no cell in use (offset 0x%llx: outside the hive's cells, "
                            "inside another cell, or a free one)", what, at);
    case kRegfCheckWrongKind:
        return Text("the cell of %s, at offset 0x%llx, holds another kind of record", what, at);
    case kRegfCheckTooShort:
        return Text("%s is longer than its cell: it needs %llu bytes, the cell at offset "
                            "0x%llx holds %llu", what, need, at, room);
    case kRegfCheckBadKey:
        return Text("%s has an empty name or is larger than a key can be", what);
    case kRegfCheckReachedTwice:
        return Text("%s is listed twice (in two subkey lists, or twice in one)", key);
    case kRegfCheckLoop:
        return Text("%s is %s%s listed again below itself: the keys form a loop", key,
                 d.other[0] ? "key " : "the root key", d.other);
    case kRegfCheckWrongParent:
        return Text("%s is listed under a key that its record does not name as its parent",
                 key);
    case kRegfCheckCountMismatch:
        return Text("%s says it has %llu subkeys, but its subkey list holds %llu", key, need,
                 room);
    case kRegfCheckTooDeep:
        return Text("%s lies more than %llu levels below the root, deeper than Windows "
                            "allows", key, need);
    case kRegfCheckInlineTooLong:
        return Text("%s says that its data, kept in its record, is longer than the 4 bytes "
                            "there", what);
    case kRegfCheckDataNotEmpty:
        return Text("%s has no data but points to a data cell", what);
    case kRegfCheckFewSegments:
        return Text("%s is cut into fewer parts (%llu) than its length needs (%llu)", what, room,
                 need);
    case kRegfCheckBadDescriptor:
        return Text("%s, at offset 0x%llx, is not a valid security descriptor", what, at);
    case kRegfCheckBadSecurityList:
        return Text("the hive's chain of security descriptors is broken at offset 0x%llx", at);
    case kRegfCheckTooManyKeys:
        return Text("it holds more than %llu keys, more than tessaril reads of a SYSTEM hive",
                 need);
    case kRegfCheckBadName:
        return Text("%s has a name that tessaril's hive reader cannot read (UTF-16 of an odd length, "
                    "or with a broken surrogate pair)", what);
    case kRegfCheckTooManyEntries:
        return Text("its lists hold more than %llu entries in all, more than tessaril reads "
                            "of a SYSTEM hive", need);
    }
    return "";
}

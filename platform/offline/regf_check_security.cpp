// The whole-hive check's security cells: each descriptor as Windows takes
// it, and the chain of them all.
#include "platform/offline/regf_check_walk.h"

namespace regf_check_walk {

namespace {

// What Windows takes of a security descriptor.
const uint32_t kMinDescriptor = 20;

// A security descriptor in self-relative form, as Windows takes it: its
// revision, and every SID and ACL it points to inside it.
bool ValidSid(const unsigned char *d, uint32_t length, uint32_t at)
{
    return at <= length && length - at >= 8 && d[at] == 1 && d[at + 1] <= 15 &&
           length - at >= 8 + 4 * (uint32_t)d[at + 1];
}

bool ValidAcl(const unsigned char *d, uint32_t length, uint32_t at)
{
    if (at > length || length - at < 8 || d[at] < 2 || d[at] > 4)
        return false;
    uint32_t size = Get16(d + at + 2), count = Get16(d + at + 4);
    if (size < 8 || size > length - at)
        return false;
    for (uint32_t i = 0, ace = 8; i < count; i++) {
        if (size - ace < 4)
            return false;
        uint32_t aceSize = Get16(d + at + ace + 2);
        if (aceSize < 4 || aceSize > size - ace)
            return false;
        ace += aceSize;
    }
    return true;
}

bool ValidDescriptor(const unsigned char *d, uint32_t length)
{
    if (length < kMinDescriptor || d[0] != 1)
        return false;
    uint16_t control = Get16(d + 2);
    uint32_t owner = Get32(d + 4), group = Get32(d + 8), sacl = Get32(d + 12), dacl = Get32(d + 16);
    const uint16_t selfRelative = 0x8000, daclPresent = 0x0004, saclPresent = 0x0010;
    return (control & selfRelative) != 0 && (owner == 0 || ValidSid(d, length, owner)) &&
           (group == 0 || ValidSid(d, length, group)) &&
           (!(control & daclPresent) || dacl == 0 || ValidAcl(d, length, dacl)) &&
           (!(control & saclPresent) || sacl == 0 || ValidAcl(d, length, sacl));
}

} // namespace

// A key's security cell; its descriptor is checked the first time a key
// refers to it.
bool Check::Security(uint32_t cell)
{
    uint64_t room = 0;
    const unsigned char *sk = Record(cell, kRegfPartSecurity, "sk", regf_sk::kDescriptor, &room);
    if (sk == NULL)
        return false;
    if (reached.Get(cell))
        return true;
    uint32_t length = Get32(sk + regf_sk::kLength);
    if (room - regf_sk::kDescriptor < length)
        return Fail(kRegfCheckTooShort, kRegfPartSecurity, cell, regf_sk::kDescriptor + (uint64_t)length, room);
    if (!ValidDescriptor(sk + regf_sk::kDescriptor, length))
        return Fail(kRegfCheckBadDescriptor, kRegfPartSecurity, cell);
    reached.Set(cell);
    securityCells.push_back(cell);
    return true;
}

// The security cells are one closed chain from the root's, each cell's next
// pointing back to it, that holds every one a key uses. The chain is
// followed at most as many steps as the bins hold security cells.
bool Check::SecurityList()
{
    chain.clear();
    report->entry = 0;
    if (securityCells.empty())
        return true;
    uint32_t first = securityCells[0], cell = first;
    uint64_t room = 0, steps = 0, usedOnList = 0;
    do {
        if (++steps > securityTotal)
            return Fail(kRegfCheckBadSecurityList, kRegfPartHive, cell);
        const unsigned char *sk = Record(cell, kRegfPartHive, "sk", regf_sk::kDescriptor, &room);
        if (sk == NULL)
            return false;
        usedOnList += reached.Get(cell);
        uint32_t next = Get32(sk + regf_sk::kNext);
        const unsigned char *n = Record(next, kRegfPartHive, "sk", regf_sk::kDescriptor, &room);
        if (n == NULL)
            return false;
        if (Get32(n + regf_sk::kPrevious) != cell)
            return Fail(kRegfCheckBadSecurityList, kRegfPartHive, cell);
        cell = next;
    } while (cell != first);
    // Back at the first within that many steps, no cell was met twice.
    if (usedOnList != securityCells.size()) {
        for (uint32_t used : securityCells) {
            bool on = false;
            cell = first;
            do {
                on = cell == used;
                cell = Get32(bins + cell + 4 + regf_sk::kNext);
            } while (!on && cell != first);
            if (!on)
                return Fail(kRegfCheckBadSecurityList, kRegfPartHive, used);
        }
    }
    return true;
}

} // namespace regf_check_walk

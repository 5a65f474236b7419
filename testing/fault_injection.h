// Fault injection for tests: counts the platform calls of a run, logs them,
// and makes any of them fail on purpose, by key path, value name or file
// path, or by its number in the run. The registry calls are wrapped around
// the registry front, whatever store it has mounted; a platform double asks
// Fails() at the start of each of its other calls.
#ifndef TESSARIL_TESTING_FAULT_INJECTION_H
#define TESSARIL_TESTING_FAULT_INJECTION_H

#include <string>
#include <vector>

#include "platform/base.h"
#include "platform/win32_calls.h"

namespace faults {

// The platform calls, as fault injection and the operation count name them:
// the calls of platform/win32_calls.h that it counts.
enum class Op {
#define TESSARIL_OP(op, type, name, parameters) op,
#define TESSARIL_NO_OP(type, name, parameters)
    TESSARIL_WIN32_CALLS(TESSARIL_OP, TESSARIL_NO_OP)
#undef TESSARIL_OP
#undef TESSARIL_NO_OP
};

// Forgets every fault, the count and the log, and puts the fault layer
// around the registry front's calls.
void Reset();

// Makes every call of op on the given key path (or file path) fail with
// status; an empty path or value name matches any. Registry calls answer
// status; the others fail in their own way (FALSE, 0, an invalid handle).
void FailOn(Op op, const std::string &path, const std::string &valueName = "",
            LONG status = ERROR_ACCESS_DENIED);
// Counts every platform call but the releases (RegCloseKey, CloseHandle)
// and the string comparison.
long OperationCount();
// Makes the call numbered n (from 1) fail, and with andLater every call
// after it too; 0 fails none.
void FailAt(long n, bool andLater);
// The operations made so far, one line each ("RegOpenKeyExA <path>", ...).
const std::vector<std::string> &OperationLog();
// Whether the operations are logged; they are after Reset. A run that never
// reads the log (the fuzzers') need not pay for it.
void LogCalls(bool on);

// Counts and logs one call and tells whether it is to fail, and with which
// status.
bool Fails(Op op, const char *path, const char *valueName, LONG *status);
bool Fails(Op op, const char *path = "", const char *valueName = "");

} // namespace faults

#endif

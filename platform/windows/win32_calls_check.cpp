// The calls of platform/win32_calls.h, held against <windows.h>: the list the
// other backends declare from must name each call with the shape the system
// gives it. Nothing here is linked into the program.
#include <type_traits>

#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/token.h"
#include "platform/version.h"
#include "platform/win32_calls.h"

#define TESSARIL_CHECK_PASS(type, name, parameters) \
    static_assert(std::is_same<decltype(&name), type(WINAPI *) parameters>::value, \
                  #name " in platform/win32_calls.h is not as <windows.h> declares it");
#define TESSARIL_CHECK_CALL(op, type, name, parameters) TESSARIL_CHECK_PASS(type, name, parameters)

TESSARIL_WIN32_CALLS(TESSARIL_CHECK_CALL, TESSARIL_CHECK_PASS)

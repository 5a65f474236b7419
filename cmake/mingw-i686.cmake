# Cross build for 32-bit Windows with MinGW-w64 (win32 thread model).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# TESSARIL_MINGW_PREFIX picks another MinGW-w64 triplet (x86_64-w64-mingw32
# for a 64-bit build of the same sources).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 5.0)

if(NOT TESSARIL_MINGW_PREFIX)
  set(TESSARIL_MINGW_PREFIX i686-w64-mingw32)
endif()
if(TESSARIL_MINGW_PREFIX MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
# Passed on to try_compile projects, which reread this file.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSARIL_MINGW_PREFIX)

# The posix thread model links winpthreads, which imports functions that
# Windows 2000 does not have; the win32 one does not.
find_program(CMAKE_C_COMPILER NAMES ${TESSARIL_MINGW_PREFIX}-gcc-win32 ${TESSARIL_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TESSARIL_MINGW_PREFIX}-g++-win32 ${TESSARIL_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TESSARIL_MINGW_PREFIX}-windres windres REQUIRED)
find_program(CMAKE_STRIP NAMES ${TESSARIL_MINGW_PREFIX}-strip REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${TESSARIL_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSARIL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 2000 is the oldest system the tool runs on: declaring it here
# hides every declaration of a newer call from everything compiled in this
# build, so using one is a compile error, not a load failure on the target.
# (platform/windows puts the same definitions on every target it serves, for
# builds that come without this file.)
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0500 -DWINVER=0x0500")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0500 -DWINVER=0x0500")
set(CMAKE_RC_FLAGS_INIT "-D_WIN32_WINNT=0x0500 -DWINVER=0x0500")

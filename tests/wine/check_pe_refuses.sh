#!/usr/bin/env bash
# The header and import check must refuse what Windows 95, 98 and NT 4.0
# cannot load: a copy of the program whose header asks for 5.0, and a
# program that imports IsWow64Process (which only XP SP2 and later export).
#   check_pe_refuses.sh OBJDUMP EXE MINGW_CXX
set -uo pipefail
objdump=$1 exe=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_refused FILE MESSAGE: check_pe.sh fails on FILE and says MESSAGE.
expect_refused() {
  if bash "$here/check_pe.sh" "$objdump" "$1" >"$scratch/out" 2>&1; then
    fail "$(basename "$1") passed the check"
  elif ! grep -qF -- "$2" "$scratch/out"; then
    fail "$(basename "$1") was refused, but not with: $2"
  fi
  sed 's/^/    /' "$scratch/out"
}

# The optional header sits 24 bytes after the "PE\0\0" whose offset the
# DOS header holds at 0x3C; the major system version is 40 bytes into it.
cp "$exe" "$scratch/header-5.0.exe"
pe=$(od -An -t u4 -j 60 -N 4 "$exe" | tr -d ' ')
printf '\005' | dd of="$scratch/header-5.0.exe" bs=1 seek=$((pe + 24 + 40)) conv=notrunc status=none
expect_refused "$scratch/header-5.0.exe" "OSystem version 5.0, want 4.0"

printf '#include <windows.h>\nint main() { BOOL wow64; return IsWow64Process(GetCurrentProcess(), &wow64); }\n' \
  >"$scratch/probe.cpp"
"$cxx" -D_WIN32_WINNT=0x0501 -O2 -s -static "$scratch/probe.cpp" -o "$scratch/wow64-import.exe" ||
  { echo "cannot build the probe"; exit 1; }
expect_refused "$scratch/wow64-import.exe" "KERNEL32.dll!IsWow64Process: Windows 98 does not export it"

[ $failures -eq 0 ] || exit 1
echo "a 5.0 header and an import newer than Windows 98 and NT 4.0 are refused"

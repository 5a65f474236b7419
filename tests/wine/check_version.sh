#!/usr/bin/env bash
# Reads the version resource back out of the built program and compares it
# with what Explorer's file properties must show.
#   check_version.sh WINDRES EXE
set -uo pipefail
windres=$1 exe=$2
rc=$("$windres" -i "$exe" -O rc) || { echo "cannot read the resources of $exe"; exit 1; }
failures=0
expect() {
  grep -qxF -- "$1" <<<"$(sed 's/^[ \t]*//' <<<"$rc")" || { echo "FAIL: missing: $1"; failures=$((failures + 1)); }
}
expect 'FILEVERSION 1, 0, 0, 2'
expect 'PRODUCTVERSION 1, 0, 0, 2'
expect 'BLOCK "040904b0"'
expect 'VALUE "FileVersion", "1.0.0.2"'
expect 'VALUE "ProductVersion", "1.0.0.2"'
expect 'VALUE "ProductName", "Tessaril Wizard"'
expect 'VALUE "OriginalFilename", "Tessaril.exe"'
expect 'VALUE "Translation", 0x409, 1200'
[ $failures -eq 0 ] || { echo "$rc"; exit 1; }
echo "version resource: 1.0.0.2, Tessaril Wizard, Tessaril.exe, 040904b0"

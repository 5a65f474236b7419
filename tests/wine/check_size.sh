#!/usr/bin/env bash
# The program stays small: its stripped size must be below LIMIT bytes, and
# it must really be stripped (no symbol table left in it).
#   check_size.sh OBJDUMP EXE LIMIT
set -uo pipefail
objdump=$1 exe=$2 limit=$3
size=$(stat -c %s "$exe") || exit 1
echo "$(basename "$exe"): $size bytes (limit $limit)"
symbols=$("$objdump" -t "$exe" 2>/dev/null)
if grep -q '^\[ *[0-9]' <<<"$symbols"; then
  echo "FAIL: the file still has a symbol table"
  exit 1
fi
[ "$size" -lt "$limit" ] || { echo "FAIL: $size bytes is not below $limit"; exit 1; }

#!/usr/bin/env bash
# Runs every test: builds the project, runs the whole suite, then builds and
# runs it once more under AddressSanitizer and UndefinedBehaviorSanitizer.
# On a fresh Debian machine (as root) it first installs what it needs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
. scripts/deps.sh
tessaril_install_deps

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DTESSARIL_WINE_TESTS=ON >/dev/null
cmake --build build -j "$jobs"
status=0
(cd build && ctest --output-on-failure -j "$jobs") || status=$?
# Which build of Tessaril.exe the Wine scenarios ran, where it was not the
# shipped 32-bit one, and why the WOW64 ones did not run.
for note in build/tests/wine/run/note build/tests/wine/run-wow64/skipped; do
  [ ! -f "$note" ] || echo "== Wine: $(cat "$note")"
done
[ $status -eq 0 ] || exit $status

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSARIL_SANITIZE=ON \
  -DTESSARIL_WINE_TESTS=OFF >/dev/null
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -LE "wine|fuzz" -E "^offline_ntfs[^_]*_runs$")

echo "== fuzz: each libFuzzer target for ${TESSARIL_FUZZ_SECONDS:-60} s under the sanitizers"
# The hive fuzzer runs hivex built with the sanitizers too, from Debian's
# source package, built once into build-fuzz; where that cannot be had, the
# system's hivex, and it says so.
if hivex=$(tessaril_sanitized_hivex "$top/build-fuzz/hivex-sanitized"); then
  echo "hivex built with the sanitizers: $hivex/libhivex.a"
  hivex_args=(-DTESSARIL_HIVEX_STATIC="$hivex/libhivex.a" -DTESSARIL_HIVEX_INCLUDE="$hivex/include")
else
  echo "WARNING: the hive fuzzer runs the system's uninstrumented hivex, so a memory error inside hivex goes unseen"
  hivex_args=(-DTESSARIL_HIVEX_STATIC= -DTESSARIL_HIVEX_INCLUDE=)
fi
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DTESSARIL_FUZZ=ON \
  -DTESSARIL_SANITIZE=ON -DTESSARIL_WINE_TESTS=OFF "${hivex_args[@]}" \
  -DTESSARIL_FUZZ_SECONDS="${TESSARIL_FUZZ_SECONDS:-60}" >/dev/null
cmake --build build-fuzz -j "$jobs"
(cd build-fuzz && ctest --output-on-failure -V -L fuzz | grep -E '^[0-9]+: (hivex:|real hives|INFO: seed corpus|#[0-9]+.*DONE|stat::number_of_executed_units)|tests passed|Failed|Passed')

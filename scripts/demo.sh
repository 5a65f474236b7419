#!/usr/bin/env bash
# Builds tessaril, writes a sample Windows XP installation under build/sample
# (a fresh one every time) and runs the wizard on it. The two questions are
# answered at the terminal (or read from standard input when it is not one).
# Then it prints the repair log and the filter lists and service keys as the
# hive now holds them. On a fresh Debian machine (as root) it first installs
# what it needs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
. scripts/deps.sh
tessaril_install_deps demo

jobs=$(nproc 2>/dev/null || echo 2)
echo "== building"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIL_WINE_TESTS=OFF >/dev/null
cmake --build build -j "$jobs" --target tessaril make_sample_installation >/dev/null

rm -rf "$top/build/sample"
windows=$(build/make_sample_installation "$top/build/sample")
hive="$windows/system32/config/system"
class='/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}'

show() {
  reglookup -H -p "$class" "$hive" | grep -E '/(Upper|Lower)Filters,' | cut -d, -f1-3
  for service in Gravle2k kvt_2k Mbx7_xp; do
    out=$(reglookup -H -p "/ControlSet001/Services/$service" "$hive" 2>/dev/null | cut -d, -f1-3)
    if [ -n "$out" ]; then
      printf '%s\n' "$out"
    else
      echo "/ControlSet001/Services/$service: no such key"
    fi
  done
}

echo "== sample Windows XP installation: $windows"
echo "== before the repair"
show
# The sample folder stands for the root of a mounted system drive: tessaril
# finds the Windows folder in it.
echo "== running: build/tessaril build/sample"
status=0
build/tessaril "$top/build/sample" || status=$?
echo
echo "== tessaril exited with status $status"
if [ -f "$windows/Temp/Tessaril.log" ]; then
  echo "== the log, $windows/Temp/Tessaril.log (CR LF line ends shown as plain lines)"
  sed 's/\r$//' "$windows/Temp/Tessaril.log"
else
  echo "== no log was written (the repair was declined or did not start)"
fi
echo "== after the repair"
show

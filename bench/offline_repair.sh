#!/usr/bin/env bash
# Times a full offline repair on a large, realistic SYSTEM hive (about 10 MB,
# about 2,000 service keys, filter lists of a few dozen entries) beside the
# floor: hivex itself opening the same hive for writing and committing it
# once. Reports wall time and peak memory of each; run after a build:
#   bench/offline_repair.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
timer=/usr/bin/time
[ -x "$timer" ] || { echo "needs GNU time (Debian package 'time')" >&2; exit 1; }

"$build/make_sample_installation" --filler 2000 --description 200 --filter-filler 30 \
  "$work/large" >/dev/null
windows="$work/large/WINDOWS"
hive="$windows/system32/config/system"
size=$(stat -c %s "$hive")
echo "SYSTEM hive: $size bytes, $(reglookup -H -p /ControlSet001/Services "$hive" | grep -c ',KEY,') keys below Services"

runs=5
best() { sort -n | head -1; }
floor_t=(); floor_m=(); run_t=(); run_m=(); sync_t=()
for i in $(seq $runs); do
  cp "$hive" "$work/copy"
  "$timer" -f '%e %M' -o "$work/t" hivexsh -w "$work/copy" <<<"commit $work/committed" >/dev/null
  read -r t m <"$work/t"; floor_t+=("$t"); floor_m+=("$m")
  # The floor again with the one flush to disk that a safe rewrite needs.
  "$timer" -f '%e %M' -o "$work/t" bash -c 'hivexsh -w "$1" <<<"commit $2" >/dev/null && sync "$2"' \
    sh "$work/copy" "$work/committed"
  read -r t m <"$work/t"; sync_t+=("$t")
  cp "$work/copy" "$hive"
  rm -f "$windows/Temp/Tessaril.log"
  printf 'y\nn\n' | TESSARIL_SYSTEMROOT="$windows" "$timer" -f '%e %M' -o "$work/t" \
    "$build/tessaril" >/dev/null
  read -r t m <"$work/t"; run_t+=("$t"); run_m+=("$m")
done
ft=$(printf '%s\n' "${floor_t[@]}" | best); fm=$(printf '%s\n' "${floor_m[@]}" | best)
rt=$(printf '%s\n' "${run_t[@]}" | best); rm_=$(printf '%s\n' "${run_m[@]}" | best)
echo "hivex open + commit (floor): ${ft} s, peak ${fm} KiB"
st=$(printf '%s\n' "${sync_t[@]}" | best)
echo "the same, then fsync:        ${st} s"
echo "tessaril full repair:        ${rt} s, peak ${rm_} KiB"
awk -v ft="$ft" -v rt="$rt" -v rm="$rm_" -v size="$size" 'BEGIN {
  printf "time ratio %.2f (target <= 1.5), peak memory %.2f x the hive (target <= 3)\n",
    (ft > 0 ? rt / ft : 0), rm * 1024 / size }'
grep -c '' "$windows/Temp/Tessaril.log" | sed 's/^/log lines: /'

#!/usr/bin/env bash
# Times a full offline repair on a large, realistic SYSTEM hive (about 10 MB:
# 2,000 service keys as an installed driver has them, in two control sets,
# filter lists of a few dozen entries) side by side with what it is held
# against, in the same run: hivex itself opening the same hive for writing
# and committing it once into a new file; the same as a safe rewrite makes
# it, as the repair does (the new file flushed, renamed over the hive, the
# folder flushed); and the physical floor, a plain copy of the hive flushed
# and renamed over it. Reports the median
# wall time of RUNS runs (default 9) and the largest peak memory; run after
# a build:
#   bench/offline_repair.sh [build-dir]
# This is a measurement, not a test: it fails only when a run fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
runs=${RUNS:-9}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
timer=/usr/bin/time
[ -x "$timer" ] || { echo "needs GNU time (Debian package 'time')" >&2; exit 1; }
command -v hivexsh >/dev/null || { echo "needs hivexsh (Debian package 'libhivex-bin')" >&2; exit 1; }

"$build/make_sample_installation" --filler 2000 --description 200 --filter-filler 30 \
  --full-services --control-sets 2 "$work/large" >/dev/null
windows="$work/large/WINDOWS"
config="$windows/system32/config"
hive="$config/system"
size=$(stat -c %s "$hive")
services=$(reglookup -H -t KEY -p /ControlSet001/Services "$hive" | awk -F/ 'NF == 4' | wc -l)
keys=$(reglookup -H -t KEY "$hive" | wc -l)
echo "SYSTEM hive: $size bytes, $keys keys, $services service keys in the current control set"
cp "$hive" "$work/original"

# Runs a command under GNU time; appends its wall time (s) to the array named
# by $1 and its peak resident size (KiB) to the one named by $2.
measure() {
  local -n times=$1 peaks=$2
  shift 2
  sync
  local start=$EPOCHREALTIME
  "$timer" -f '%M' -o "$work/peak" "$@"
  local end=$EPOCHREALTIME
  times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')")
  peaks+=("$(cat "$work/peak")")
}

copy_t=(); copy_m=(); floor_t=(); floor_m=(); flush_t=(); flush_m=(); run_t=(); run_m=()
for _ in $(seq "$runs"); do
  # The floors with flushes replace a file that holds the hive, as the
  # repair replaces it: a new file, flushed, renamed over the old one, whose
  # space is given back within the time measured, and the folder flushed.
  cp "$work/original" "$work/copied"
  measure copy_t copy_m bash -c 'cp "$1" "$2.new" && sync "$2.new" && mv "$2.new" "$2" && sync "$3"' \
    sh "$work/original" "$work/copied" "$work"
  cp "$work/original" "$work/copy"
  rm -f "$work/committed"
  measure floor_t floor_m bash -c 'hivexsh -w "$1" <<<"commit $2" >/dev/null' \
    sh "$work/copy" "$work/committed"
  measure flush_t flush_m bash -c \
    'hivexsh -w "$1" <<<"commit $1.new" >/dev/null && sync "$1.new" && mv "$1.new" "$1" && sync "$2"' \
    sh "$work/copy" "$work"
  cp "$work/original" "$hive"
  rm -f "$windows/Temp/Tessaril.log"
  printf 'y\nn\n' >"$work/answers"
  measure run_t run_m env TESSARIL_SYSTEMROOT="$windows" \
    sh -c 'exec "$0" <"$1" >/dev/null' "$build/tessaril" "$work/answers"
  grep -q 'After create Mbx7_xp' "$windows/Temp/Tessaril.log" ||
    { echo "the repair did not complete" >&2; exit 1; }
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { printf '%s\n' "$@" | sort -g | tail -1; }
ct=$(median "${copy_t[@]}")
ft=$(median "${floor_t[@]}"); fm=$(largest "${floor_m[@]}")
st=$(median "${flush_t[@]}")
rt=$(median "${run_t[@]}"); rm_=$(largest "${run_m[@]}")
echo "medians of $runs runs (all: floor ${floor_t[*]}; tessaril ${run_t[*]})"
echo "copy, fsync, rename (physical floor): ${ct} s"
echo "hivex open + commit (floor):          ${ft} s, peak ${fm} KiB"
echo "the same, flushed and renamed over:  ${st} s"
echo "tessaril full repair:                 ${rt} s, peak ${rm_} KiB"
awk -v ct="$ct" -v ft="$ft" -v st="$st" -v rt="$rt" -v rm="$rm_" -v size="$size" 'BEGIN {
  printf "time ratio %.2f x hivex with its flushes (target <= 1.2), %.2f x hivex alone, %.2f x the physical floor\n",
    (st > 0 ? rt / st : 0), (ft > 0 ? rt / ft : 0), (ct > 0 ? rt / ct : 0)
  printf "peak memory %.2f x the hive (target <= 1.5)\n", rm * 1024 / size }'
grep -c '' "$windows/Temp/Tessaril.log" | sed 's/^/log lines: /'

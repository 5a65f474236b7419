#!/usr/bin/env bash
# Times a repair of a virtual machine's disk image by tessaril side by side,
# in the same run, with what a user would otherwise run on it: virt-win-reg
# --merge of a .reg file that holds the two filter lists as the repair leaves
# them (one appliance start each). The image: a partitioned qcow2 image whose
# NTFS holds the large sample XP installation of offline_repair.sh (a SYSTEM
# hive of about 10 MB), with a system32/cmd.exe that libguestfs's inspection,
# which virt-win-reg needs, takes for Windows. Reports the medians of RUNS
# runs (default 3: each takes an appliance start, 15 to 30 s without KVM),
# the peak memory of the tessaril process alone and with the appliance's
# qemu, and where a repair's time goes (from one run traced by libguestfs):
#   bench/image_repair.sh [build-dir]
# This is a measurement, not a test: it fails only when a run fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
runs=${RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in guestfish virt-win-reg i686-w64-mingw32-gcc reglookup python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done
export LIBGUESTFS_BACKEND=${LIBGUESTFS_BACKEND:-direct}

"$build/make_sample_installation" --filler 2000 --description 200 --filter-filler 30 \
  --full-services --control-sets 2 "$work/root" >/dev/null
windows="$work/root/WINDOWS"
printf 'int main(void) { return 0; }\n' >"$work/cmd.c"
i686-w64-mingw32-gcc -o "$windows/system32/cmd.exe" "$work/cmd.c"
echo "SYSTEM hive: $(stat -c %s "$windows/system32/config/system") bytes"

# The two lists as a repair leaves them, as a .reg file.
cp -a "$work/root" "$work/reference"
"$build/tessaril" --yes --quiet "$work/reference" 2>/dev/null
reglookup -H -p '/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}' \
  "$work/reference/WINDOWS/system32/config/system" | grep -E '/(Upper|Lower)Filters,' |
  python3 -c '
import sys
lines = ["Windows Registry Editor Version 5.00", "",
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}]"]
for line in sys.stdin:
    path, kind, text = line.rstrip("\n").split(",", 2)
    data = ("\0".join(text.rstrip(",").split("|")) + "\0\0").encode("utf-16-le")
    lines.append("\"%s\"=hex(7):%s" % (path.rsplit("/", 1)[1], ",".join("%02x" % b for b in data)))
sys.stdout.write("\r\n".join(lines) + "\r\n")' >"$work/lists.reg"

tar -C "$work/root" -cf "$work/root.tar" .
guestfish >/dev/null <<EOF
disk-create $work/pristine.qcow2 qcow2 512M
add-drive $work/pristine.qcow2 format:qcow2
run
part-disk /dev/sda mbr
mkfs ntfs /dev/sda1
mount /dev/sda1 /
tar-in $work/root.tar /
EOF

# Runs a command under GNU time; appends its wall time (s) to the array named
# by $1 and its peak resident size with its children's (KiB) to the one
# named by $2.
measure() {
  local -n times=$1 peaks=$2
  shift 2
  sync
  local start=$EPOCHREALTIME
  /usr/bin/time -f '%M' -o "$work/peak" "$@"
  local end=$EPOCHREALTIME
  times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')")
  peaks+=("$(cat "$work/peak")")
}

# The peak resident size of tessaril alone (its VmHWM, read until it ends).
own_peak() {
  "$@" &
  local pid=$! hwm=0 now
  while now=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null) && [ -n "$now" ]; do
    hwm=$now
    sleep 0.05
  done
  wait "$pid"
  echo "$hwm" >>"$work/own"
}

peer_t=(); peer_m=(); run_t=(); run_m=()
for _ in $(seq "$runs"); do
  cp "$work/pristine.qcow2" "$work/peer.qcow2"
  measure peer_t peer_m virt-win-reg --merge "$work/peer.qcow2" "$work/lists.reg"
  cp "$work/pristine.qcow2" "$work/image.qcow2"
  measure run_t run_m sh -c '"$0" --yes --quiet "$1" 2>/dev/null' "$build/tessaril" "$work/image.qcow2"
done
cp "$work/pristine.qcow2" "$work/image.qcow2"
own_peak "$build/tessaril" --yes --quiet "$work/image.qcow2" 2>/dev/null

# One run traced by libguestfs, each line stamped with the time it came.
cp "$work/pristine.qcow2" "$work/image.qcow2"
start=$EPOCHREALTIME
LIBGUESTFS_TRACE=1 "$build/tessaril" --yes --quiet "$work/image.qcow2" 2>&1 >/dev/null |
  while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$work/trace"
end=$EPOCHREALTIME

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { printf '%s\n' "$@" | sort -g | tail -1; }
pt=$(median "${peer_t[@]}"); pm=$(largest "${peer_m[@]}")
rt=$(median "${run_t[@]}"); rm_=$(largest "${run_m[@]}")
echo "medians of $runs runs (all: virt-win-reg ${peer_t[*]}; tessaril ${run_t[*]})"
echo "virt-win-reg --merge of the two lists: ${pt} s, peak ${pm} KiB with qemu"
echo "tessaril --yes on the image:           ${rt} s, peak ${rm_} KiB with qemu, $(cat "$work/own") KiB alone"
awk -v pt="$pt" -v rt="$rt" 'BEGIN { printf "time ratio %.2f x virt-win-reg --merge (target <= 1.2)\n", (pt > 0 ? rt / pt : 0) }'
# Where the traced run's time went: from the start to the appliance up, the
# Windows folder found on the file systems, the hives copied out, the repair
# on the shadow, the new hive and the log put back, the appliance shut down.
awk -v start="$start" -v end="$end" '
  / trace: launch = / && !launched { launched = $1 }
  / trace: mount / && launched && !mounted && $0 !~ /mount_ro/ { mounted = $1 }
  / trace: download = / { downloaded = $1 }
  / trace: upload / && !uploading { uploading = $1 }
  / trace: shutdown$/ { shutting = $1 }
  END {
    if (!launched || !downloaded || !uploading || !shutting) { print "trace incomplete"; exit }
    if (!mounted) mounted = launched
    printf "traced run %.2f s: appliance start %.2f s, finding the Windows folder %.2f s, copying the hives out %.2f s, the repair %.2f s, putting back %.2f s, shutdown %.2f s\n",
      end - start, launched - start, mounted - launched, downloaded - mounted, uploading - downloaded,
      shutting - uploading, end - shutting }' "$work/trace"

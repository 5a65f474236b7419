#!/usr/bin/env bash
# run-fuzzer.sh FUZZER SECONDS SCRATCH SEEDS [REAL_HIVES]: fuzzes for SECONDS
# on a fresh scratch corpus grown from SEEDS; prints the executions and the
# coverage, and fails (keeping the crashing input beside the scratch corpus)
# when the target fails. REAL_HIVES, a folder of xz-compressed hives, adds
# them (unpacked beside the scratch corpus, with their notices) to the seeds;
# inputs may then be as long as the longest of them. FUZZ_MAX_LEN, when set
# and not empty, bounds the inputs otherwise. FUZZ_NOTE, when set, is printed
# first.
set -uo pipefail
fuzzer=$1 seconds=$2 scratch=$3 seeds=$4 real=${5:-}
[ -n "${FUZZ_NOTE:-}" ] && echo "$FUZZ_NOTE"
rm -rf "$scratch" "$scratch-artifacts" "$scratch-real-hives"
mkdir -p "$scratch" "$scratch-artifacts"
corpora=("$scratch" "$seeds")
limits=()
if [ -n "${FUZZ_MAX_LEN:-}" ]; then
  limits=(-max_len="$FUZZ_MAX_LEN")
fi
if [ -n "$real" ]; then
  if ! compgen -G "$real/*.xz" >/dev/null; then
    echo "real hives: none in $real; fuzzing without them"
  elif ! command -v xz >/dev/null; then
    echo "real hives: xz is not installed; fuzzing without them"
  else
    # The hives in a folder of their own (libFuzzer reads every file below a
    # corpus folder), their README and licence notices beside it.
    mkdir -p "$scratch-real-hives/hives"
    cp "$real"/*.md "$real"/LICENSE* "$real"/NOTICE* "$scratch-real-hives/" 2>/dev/null
    longest=0
    for packed in "$real"/*.xz; do
      hive="$scratch-real-hives/hives/$(basename "$packed" .xz)"
      xz -dc "$packed" >"$hive" || { echo "real hives: cannot unpack $packed"; exit 1; }
      size=$(stat -c %s "$hive")
      [ "$size" -gt "$longest" ] && longest=$size
    done
    corpora+=("$scratch-real-hives/hives")
    # Without it libFuzzer cuts every seed to 1 MB.
    limits=(-max_len="$longest")
    echo "real hives: $(ls "$scratch-real-hives/hives" | wc -l) seeds from $real, -max_len=$longest"
  fi
fi
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "${limits[@]}" \
  -artifact_prefix="$scratch-artifacts/" "${corpora[@]}" >"$scratch.log" 2>&1
status=$?
grep -E '^#[0-9]+.*(INITED|DONE)|^INFO: seed corpus|^stat::|check failed|ERROR|SUMMARY' "$scratch.log" | tail -n 20
if [ $status -ne 0 ]; then
  echo "fuzzer failed with status $status; input kept in $scratch-artifacts/"
  tail -n 40 "$scratch.log"
fi
exit $status

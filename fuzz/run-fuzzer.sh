#!/usr/bin/env bash
# run-fuzzer.sh FUZZER SECONDS SCRATCH SEEDS: fuzzes for SECONDS on a fresh
# scratch corpus grown from SEEDS; prints the executions and the coverage,
# and fails (keeping the crashing input beside the scratch corpus) when the
# target fails.
set -uo pipefail
fuzzer=$1 seconds=$2 scratch=$3 seeds=$4
rm -rf "$scratch" "$scratch-artifacts"
mkdir -p "$scratch" "$scratch-artifacts"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$scratch-artifacts/" "$scratch" "$seeds" >"$scratch.log" 2>&1
status=$?
grep -E '^#[0-9]+.*(INITED|DONE)|^stat::|check failed|ERROR|SUMMARY' "$scratch.log" | tail -n 20
if [ $status -ne 0 ]; then
  echo "fuzzer failed with status $status; input kept in $scratch-artifacts/"
  tail -n 40 "$scratch.log"
fi
exit $status

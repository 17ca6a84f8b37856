#!/usr/bin/env bash
# Engine-status job latency (median, 99th percentile) through the agent with
# 500 extra processes running, against the median time of one bare /proc walk
# (readdir + readlink of every exe link) measured in the same run by
# proc_walk_bench. The vendor asked for has no running process, so every job
# walks the whole process table. The extra processes end by themselves after
# 120 s and are killed at exit.
# Usage: bench/engine_status.sh [EXTRA_PROCESSES] [ROUNDS] [JOBS_PER_ROUND]
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/agent_env.sh"
extra=${1:-500}
rounds=${2:-5}
jobs=${3:-200}
sleepers=()
kill_sleepers() { [ ${#sleepers[@]} -gt 0 ] && kill -KILL "${sleepers[@]}" 2>/dev/null; wait "${sleepers[@]}" 2>/dev/null; sleepers=(); }
bench_cleanup_extra+=(kill_sleepers)
start_agent
for _ in $(seq "$extra"); do sleep 120 & sleepers+=($!); done
sleep 1
status='{"opCode":"0","avType":"0","message":"","vendorName":"Bench"}'
client job 2010 "$status" >/dev/null || { echo "the engine-status job is not answered 100" >&2; exit 1; }

walks=() procwalks=() p50s=() p99s=()
for r in $(seq "$rounds"); do
  w=$("$BENCH_PROGS/proc_walk_bench" 200) || { echo "proc_walk_bench failed" >&2; exit 1; }
  j=$(client load --connections 1 --count "$jobs" --mode request --type 2010 --json "$status")
  walks+=("$(printf '%s\n' "$w" | field bare_walk_median_us)")
  procwalks+=("$(printf '%s\n' "$w" | field proc_walk_median_us)")
  p50s+=("$(awk -v v="$(printf '%s\n' "$j" | field p50)" 'BEGIN { print v * 1000 }')")
  p99s+=("$(awk -v v="$(printf '%s\n' "$j" | field p99)" 'BEGIN { print v * 1000 }')")
  echo "round $r: $w"
  echo "  jobs: $j"
done
walk=$(printf '%s\n' "${walks[@]}" | median)
procwalk=$(printf '%s\n' "${procwalks[@]}" | median)
p50=$(printf '%s\n' "${p50s[@]}" | median)
p99=$(printf '%s\n' "${p99s[@]}" | median)
awk -v w="$walk" -v pw="$procwalk" -v a="$p50" -v b="$p99" -v n="$extra" 'BEGIN {
  printf "with %d extra processes: bare /proc walk median %.0f us (agent walkProcessNames %.0f us); engine-status job median %.0f us, p99 %.0f us\n", n, w, pw, a, b
  printf "RESULT engine_status median_ratio=%.2f p99_ratio=%.2f (job over bare walk; target <= 3) %s\n", a / w, b / w, (a / w <= 3 && b / w <= 3) ? "MET" : "MISSED" }'

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

# Ratios are taken per round (walk and jobs back to back, on the same process
# table) and their medians quoted: the table and the load may change between
# rounds.
walks=() p50s=() p99s=() r50=() r99=()
for r in $(seq "$rounds"); do
  w=$("$BENCH_PROGS/proc_walk_bench" 200) || { echo "proc_walk_bench failed" >&2; exit 1; }
  j=$(client load --connections 1 --count "$jobs" --mode request --type 2010 --json "$status")
  walk=$(printf '%s\n' "$w" | field bare_walk_median_us)
  p50=$(awk -v v="$(printf '%s\n' "$j" | field p50)" 'BEGIN { print v * 1000 }')
  p99=$(awk -v v="$(printf '%s\n' "$j" | field p99)" 'BEGIN { print v * 1000 }')
  walks+=("$walk") p50s+=("$p50") p99s+=("$p99")
  r50+=("$(awk -v a="$p50" -v w="$walk" 'BEGIN { printf "%.3f", (w > 0) ? a / w : 0 }')")
  r99+=("$(awk -v a="$p99" -v w="$walk" 'BEGIN { printf "%.3f", (w > 0) ? a / w : 0 }')")
  echo "round $r: $w"
  echo "  jobs: $j"
  wp99=$(printf '%s\n' "$w" | field bare_walk_p99_us)
  echo "  job p50 / bare walk ${r50[-1]}, job p99 / bare walk ${r99[-1]}" \
    "(the bare walk's own p99 / its median: $(awk -v a="$wp99" -v w="$walk" 'BEGIN { printf "%.2f", (w > 0) ? a / w : 0 }'))"
done
walk=$(printf '%s\n' "${walks[@]}" | median)
p50=$(printf '%s\n' "${p50s[@]}" | median)
p99=$(printf '%s\n' "${p99s[@]}" | median)
m50=$(printf '%s\n' "${r50[@]}" | median)
m99=$(printf '%s\n' "${r99[@]}" | median)
awk -v w="$walk" -v a="$p50" -v b="$p99" -v n="$extra" -v m50="$m50" -v m99="$m99" 'BEGIN {
  printf "with %d extra processes (medians over rounds): bare /proc walk %.0f us; engine-status job median %.0f us, p99 %.0f us\n", n, w, a, b
  printf "RESULT engine_status median_ratio=%.2f p99_ratio=%.2f (job over bare walk of the same round, median of rounds; target <= 3) %s\n", m50, m99, (m50 <= 3 && m99 <= 3) ? "MET" : "MISSED" }'

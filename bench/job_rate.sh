#!/usr/bin/env bash
# Trigger-scan jobs per second on 8 verified connections, on a cached local
# file under UncRoot, against unsupported-type (2015, answered 203) requests
# per second on 8 connections: the channel's floor. Rounds alternate the two;
# the median of the per-round ratios is the result.
# Usage: bench/job_rate.sh [ROUNDS] [REQUESTS_PER_CONNECTION]
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/agent_env.sh"
rounds=${1:-5}
count=${2:-2000}
conns=8
start_agent
mkdir -p "$bench_tmp/unc/srv/share"
echo "a clean file for trigger scans" >"$bench_tmp/unc/srv/share/f.txt"
cat "$bench_tmp/unc/srv/share/f.txt" >/dev/null  # in the page cache
scan='{"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\f.txt"}'
client job 2020 "$scan" || { echo "the trigger scan is not answered 100" >&2; exit 1; }

load() { client load --connections "$conns" --count "$count" --mode request "$@"; }
# Answers per second, whatever their status (the 203 answers count as "failed").
answers_per_s() { awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
  END { if (v["seconds"] > 0) printf "%.1f", (v["ok"] + v["failed"]) / v["seconds"]; else print 0 }'; }

load --type 2015 --json '{}' >/dev/null  # warm-up
ratios=()
for r in $(seq "$rounds"); do
  base=$(load --type 2015 --json '{}')
  jobs=$(load --type 2020 --json "$scan")
  b=$(printf '%s\n' "$base" | answers_per_s)
  j=$(printf '%s\n' "$jobs" | awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
    END { if (v["seconds"] > 0) printf "%.1f", v["ok"] / v["seconds"]; else print 0 }')
  ratio=$(awk -v b="$b" -v j="$j" 'BEGIN { printf "%.3f", (b > 0) ? j / b : 0 }')
  ratios+=("$ratio")
  echo "round $r: unsupported 2015 answers/s $b | trigger scans (100) /s $j | ratio $ratio"
  echo "  2015: $base"
  echo "  2020: $jobs"
done
med=$(printf '%s\n' "${ratios[@]}" | median)
verdict=$(awk -v m="$med" 'BEGIN { print (m >= 0.7) ? "MET" : "MISSED" }')
echo "RESULT job_rate ratio=$med (median of ${#ratios[@]} rounds; scans/s over 2015 answers/s; target >= 0.7) $verdict"

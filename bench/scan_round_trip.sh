#!/usr/bin/env bash
# Round trip of a trigger-scan job (2020, avType 0, answered 100) for one small
# cached file under UncRoot, on one verified encrypted connection, against a
# bare loopback echo of the same request and answer sizes plus a bare open and
# close of the same file, timed by round_trip_bench in alternating rounds.
# Usage: bench/scan_round_trip.sh [COUNT]
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/agent_env.sh"
count=${1:-20000}
start_agent
file=$bench_tmp/unc/srv/share/f.txt
mkdir -p "$(dirname "$file")"
echo "a clean file for trigger scans" >"$file"
cat "$file" >/dev/null  # in the page cache
scan='{"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\f.txt"}'
"$BENCH_PROGS/round_trip_bench" --port "$agent_port" --agent-pid "$agent_pid" --count "$count" --type 2020 \
  --json "$scan" --status 100 --open "$file" --name scan_round_trip

#!/usr/bin/env bash
# Round trip of an unsupported request (type 2015, answered 203) on a verified
# encrypted connection against a bare loopback TCP echo of the same 48-byte
# frames, both timed by round_trip_bench in alternating rounds of one run.
# Usage: bench/round_trip.sh [COUNT]
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/agent_env.sh"
count=${1:-20000}
start_agent
"$BENCH_PROGS/round_trip_bench" --port "$agent_port" --agent-pid "$agent_pid" --count "$count"

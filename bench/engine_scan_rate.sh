#!/usr/bin/env bash
# Trigger scans per second through the agent (8 verified connections) against
# bare opens per second of the same files by 8 threads, with the real
# on-access engine (clamd and clamonacc, started as the real-engine tests
# start them) watching UncRoot; rounds alternate the two, and a copy of the
# folder outside UncRoot shows what the engine itself costs per open.
# Usage: bench/engine_scan_rate.sh [ROUNDS] [OPERATIONS_PER_THREAD] [FILES]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The peers' helpers first: agent_env.sh then puts its own agent start, port
# choice and exit handling in place.
. "$here/../tests/peer_test_lib.sh"
. "$here/agent_env.sh"
rounds=${1:-11}
count=${2:-150}
nfiles=${3:-200}
for tool in clamd clamonacc; do
  command -v "$tool" >/dev/null ||
    { echo "$tool is not installed (tests/engine/install_clamav.sh)"; echo "RESULT engine_scan_rate ratio=0 (no engine) MISSED"; exit 1; }
done
[ -x "$BENCH_PROGS/engine_rate_bench" ] || { echo "missing $BENCH_PROGS/engine_rate_bench" >&2; exit 1; }
stop_engine() { local p; for p in "${pids[@]}"; do stop_pid "$p"; done; pids=(); }
bench_cleanup_extra+=(stop_engine)
fail_setup() { echo "setup failed: $*" >&2; exit 1; }

chmod 755 "$bench_tmp"  # clamd runs as clamav
unc=$bench_tmp/unc
start_clamav "$bench_tmp/engine" "$unc"
set_dir=$unc/srv/share/set
outside=$bench_tmp/outside
mkdir -p "$set_dir" "$outside"
# Small files of different sizes and contents, so the engine cannot take one
# scan for all of them.
for i in $(seq "$nfiles"); do
  head -c $((512 + (i * 97) % 7680)) /dev/urandom >"$set_dir/f$i.bin"
done
cp "$set_dir"/* "$outside/"
start_agent
"$BENCH_PROGS/engine_rate_bench" --port "$agent_port" --dir "$set_dir" --unc '\\srv\share\set' \
  --outside "$outside" --threads 8 --rounds "$rounds" --count "$count" |
  grep -v '^\*\*\*\|Can not open print level'  # the pool's banner in a program without log settings

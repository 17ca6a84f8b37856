#!/usr/bin/env bash
# Builds the agent, the client and the benchmarks in Release (build/bench) and
# runs every benchmark in turn. Each prints its figures against a baseline
# measured in the same run and ends with a "RESULT" line holding its ratio.
# Loads go to loopback only and end by themselves (bounded counts and time).
# Usage: bench/run.sh [--no-build]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BENCH_BUILD:-$root/build/bench}  # another build tree: BENCH_BUILD=DIR
export BENCH_BUILD=$build

if [ "${1:-}" != "--no-build" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAV_BUILD_BENCH=ON \
    -DAV_BUILD_TESTS=OFF ${BENCH_CMAKE_ARGS:-} >/dev/null || exit 1
  cmake --build "$build" -j"$(nproc)" --target avagent avagent-client pool_bench \
    round_trip_bench idle_hold_bench proc_walk_bench icap_bench engine_rate_bench \
    handshake_floor || exit 1
fi

failed=0
run() {
  echo
  echo "=== $* ==="
  "$@"
  local rc=$?
  if [ $rc -ne 0 ]; then echo "(exit status $rc)"; failed=$((failed + 1)); fi
}

run "$build/bench/pool_bench"
run "$here/handshake_rate.sh"
run "$here/round_trip.sh"
run "$here/scan_round_trip.sh"
run "$here/memory.sh"
run "$here/job_rate.sh"
run "$here/engine_status.sh"
run "$here/engine_scan_rate.sh"
for s in "$here"/icap_*.sh; do
  case $s in *_env.sh) continue ;; esac  # sourced helpers, not benchmarks
  [ -e "$s" ] && run bash "$s"
done

echo
echo "$failed benchmark(s) ended with a non-zero status"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Memory: idle agent resident size after start, growth with 1000 verified idle
# connections held, and the time to verify one more connection meanwhile;
# baseline the resident size of `sleep` measured in the same run.
# Usage: bench/memory.sh [CONNECTIONS] [PROBES]
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/agent_env.sh"
conns=${1:-1000}
probes=${2:-7}
start_agent
sleep 2  # let start-up finish (key pair, threads) before the idle figure
"$BENCH_PROGS/idle_hold_bench" --port "$agent_port" --pid "$agent_pid" \
  --connections "$conns" --probes "$probes"

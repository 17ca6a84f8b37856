#!/usr/bin/env bash
# ICAP scan job (2020, avType 1) median latency through the agent against a
# private c-icap (as the real-peer tests run it; the tests' scripted ICAP server
# when c-icap is not installed), versus the same request bytes sent directly
# to the same server by icap_bench with the same connection pattern (connect,
# one write, read the header block, close), in alternating blocks on one
# verified storage connection. First a recording server checks that the bytes
# icap_bench sends are the agent's. The median of the per-round ratios is the
# result, with their spread. Diagnostics split the agent's time: the channel's
# own round trip, and the direct request read one byte per recv() or a line
# per peek and take (as the agent's line reader does).
# Usage: bench/icap_scan_latency.sh [ROUNDS] [JOBS_PER_ROUND]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The peers' helpers first: agent_env.sh then puts its own agent start, port
# choice and exit handling in place.
. "$here/../tests/peer_test_lib.sh"
. "$here/agent_env.sh"
rounds=${1:-5}
count=${2:-1000}
icap_bench=$BENCH_PROGS/icap_bench
script_server=$BENCH_PROGS/icap_script_server
if [ ! -x "$icap_bench" ] || [ "$bench_here/icap_bench.cpp" -nt "$icap_bench" ]; then
  cmake --build "$BENCH_BUILD" --target icap_bench >/dev/null ||
    { echo "cannot build icap_bench in $BENCH_BUILD" >&2; exit 1; }
fi
# The bench build leaves the tests out; the scripted server is one file with
# no dependencies, so it is compiled here, optimised like the agent.
script_src=$bench_here/../tests/tools/icap_script_server.cpp
if [ ! -x "$script_server" ] || [ "$script_src" -nt "$script_server" ]; then
  mkdir -p "$BENCH_PROGS"
  ${CXX:-g++} -std=c++20 -O2 -o "$script_server" "$script_src" ||
    { echo "cannot build $script_src" >&2; exit 1; }
fi

server_pids=()
stop_servers() {
  local pid
  for pid in "${server_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  server_pids=()
}
bench_cleanup_extra+=(stop_servers)

answer='ICAP/1.0 200 OK\r\nISTag: "T1"\r\n\r\n'
# start_server NAME [options...]: sets server_port.
start_server() {
  local name=$1
  shift
  "$script_server" --port-file "$bench_tmp/$name.port" --answer "$answer" "$@" &
  server_pids+=($!)
  for _ in $(seq 100); do [ -s "$bench_tmp/$name.port" ] && break; sleep 0.05; done
  server_port=$(cat "$bench_tmp/$name.port" 2>/dev/null)
  [ -n "$server_port" ] || { echo "the scripted server did not start" >&2; exit 1; }
}
path='\\nas1\share\dir\report.doc'

# 1. The agent's request bytes, recorded, against icap_bench's.
start_server record --record "$bench_tmp/agent.req" --connections 1 --lifetime 30
start_agent "IcapPort = $server_port"
out=$(client icap-scan --server 127.0.0.1 --serv-port 1 --method RESPMOD --path-key X-File-Path "$path")
[[ "$out" == *'{"status": "0","avType": "1","result": "0","isTag": "T1"}'* ]] ||
  { echo "the scan job against the scripted server did not succeed: $out" >&2; exit 1; }
"$icap_bench" request --icap-port "$server_port" --path "$path" >"$bench_tmp/bench.req"
cmp -s "$bench_tmp/agent.req" "$bench_tmp/bench.req" ||
  { echo "icap_bench's request differs from the agent's:" >&2; cat -A "$bench_tmp/agent.req" >&2; exit 1; }
echo "request bytes checked: $(wc -c <"$bench_tmp/agent.req") bytes, identical to the agent's"
stop_agent

# 2. Timing, against c-icap when it is installed, else a fresh scripted server
# that answers every connection. With two or more CPUs the server, the agent
# and icap_bench all run on CPU 0: a wake-up across CPUs costs tens of
# microseconds on a virtual machine, and where the scheduler puts each
# process would otherwise decide the figures.
pin=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then pin=(taskset -c 0); fi
moddir=$(dirname "$(find /usr/lib -name virus_scan.so -path '*c_icap*' 2>/dev/null | head -1)")
if command -v c-icap >/dev/null && [ -f "$moddir/virus_scan.so" ]; then
  server_port=$(free_port) || { echo "no free port" >&2; exit 1; }
  mkdir -p "$bench_tmp/cicap"
  write_cicap_conf "$bench_tmp/cicap/c-icap.conf" "$bench_tmp/cicap" "$server_port" "$moddir" 1 8
  "${pin[@]}" c-icap -N -f "$bench_tmp/cicap/c-icap.conf" >"$bench_tmp/cicap/out" 2>&1 &
  server_pids+=($!)
  for _ in $(seq 100); do port_in_use "$server_port" && break; sleep 0.1; done
  server=c-icap
else
  start_server timing --lifetime 600
  [ ${#pin[@]} -gt 0 ] && taskset -a -p -c 0 "${server_pids[-1]}" >/dev/null
  server="the scripted server (c-icap is not installed)"
fi
start_agent "IcapPort = $server_port"
# Threads made later (the connection's) inherit the accept thread's CPU.
[ ${#pin[@]} -gt 0 ] && taskset -a -p -c 0 "$agent_pid" >/dev/null
# The answer the server gives the job, ISTag included, is what every timed job must get.
out=$(client icap-scan --server 127.0.0.1 --serv-port 1 --method RESPMOD --path-key X-File-Path "$path")
istag=$(printf '%s\n' "$out" | sed -n 's/.*"result": "0","isTag": "\([^"]*\)".*/\1/p')
[ -n "$istag" ] || { echo "the scan job against $server is not judged clean: $out" >&2; exit 1; }
echo "timing against $server (ISTag $istag)${pin:+, all on CPU 0}"
ratios=() ams=() dms=() fls=() bws=() pks=()
for r in $(seq "$rounds"); do
  # (the pool's log banner, printed when the program has no log settings, is dropped)
  res=$("${pin[@]}" "$icap_bench" scan --agent-port "$agent_port" --icap-port "$server_port" --count "$count" \
    --path "$path" --istag "$istag" | grep -v '^\*\*\*\|Can not open print level') ||
    { echo "round $r failed: $res" >&2; exit 1; }
  ratios+=("$(printf '%s\n' "$res" | field ratio)")
  ams+=("$(printf '%s\n' "$res" | grep '^scan job' | field median)")
  dms+=("$(printf '%s\n' "$res" | grep '^direct' | field median)")
  fls+=("$(printf '%s\n' "$res" | grep '^diag channel' | field median)")
  bws+=("$(printf '%s\n' "$res" | grep '^diag direct 1B' | field median)")
  pks+=("$(printf '%s\n' "$res" | grep '^diag direct peeked' | field median)")
  echo "round $r:"
  printf '%s\n' "$res" | sed 's/^/  /'
done
med=$(printf '%s\n' "${ratios[@]}" | median)
spread=$(printf '%s\n' "${ratios[@]}" | spread)
am=$(printf '%s\n' "${ams[@]}" | median)
dm=$(printf '%s\n' "${dms[@]}" | median)
fl=$(printf '%s\n' "${fls[@]}" | median)
bw=$(printf '%s\n' "${bws[@]}" | median)
pk=$(printf '%s\n' "${pks[@]}" | median)
echo "medians: scan job $am us, direct request $dm us ($count of each per round)"
echo "diagnostics: channel round trip (2015) $fl us; direct request read one byte per recv $bw us, read a line per peek and take $pk us"
verdict=$(awk -v m="$med" 'BEGIN { print (m > 0 && m <= 1.3) ? "MET" : "MISSED" }')
echo "RESULT icap_scan_latency ratio=$med (median of ${#ratios[@]} rounds, spread $spread; scan job median over direct request median to $server; target <= 1.3) $verdict"

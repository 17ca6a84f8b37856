#!/usr/bin/env bash
# ICAP server status jobs (2020, avType 2) per second through the agent with 8
# storage connections, against c-icap on a loopback port, versus the rate of
# the same OPTIONS requests sent directly to the same c-icap by icap_bench
# (8 threads, one connection per request, as the agent does). Rounds alternate
# the two; the median of the per-round ratios is the result. On a small machine
# both loads are CPU-bound, so the CPU each side spends per request is printed
# too: it explains the ratio better than the rates, which follow the load
# other programs put on the machine.
# Usage: bench/icap_status_rate.sh [ROUNDS] [REQUESTS_PER_CONNECTION]
set -uo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
. "$bench_dir/../tests/peer_test_lib.sh"
. "$bench_dir/agent_env.sh"
rounds=${1:-7}
count=${2:-1000}
conns=8
icap_bench=$BENCH_PROGS/icap_bench
if [ ! -x "$icap_bench" ] || [ "$bench_here/icap_bench.cpp" -nt "$icap_bench" ]; then
  cmake --build "$BENCH_BUILD" --target icap_bench >/dev/null ||
    { echo "cannot build icap_bench in $BENCH_BUILD" >&2; exit 1; }
fi
command -v c-icap >/dev/null || { echo "c-icap is not installed (tests/icap/install_cicap.sh)" >&2; exit 1; }
moddir=$(dirname "$(find /usr/lib -name virus_scan.so -path '*c_icap*' 2>/dev/null | head -1)")
[ -f "$moddir/virus_scan.so" ] || { echo "c-icap's virus_scan service is missing" >&2; exit 1; }

cicap_pid=
stop_cicap() {
  [ -n "$cicap_pid" ] || return 0
  kill -TERM "$cicap_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$cicap_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$cicap_pid" 2>/dev/null
  wait "$cicap_pid" 2>/dev/null
  cicap_pid=
}
bench_cleanup_extra+=(stop_cicap)

icap_port=$(free_port) || { echo "no free port" >&2; exit 1; }
# As the real-server tests configure it, with enough threads for 8 clients.
write_cicap_conf "$bench_tmp/c-icap.conf" "$bench_tmp" "$icap_port" "$moddir" 2 16
c-icap -N -f "$bench_tmp/c-icap.conf" >"$bench_tmp/c-icap.out" 2>&1 &
cicap_pid=$!
hex=$(printf '%04X' "$icap_port")
for _ in $(seq 100); do
  grep -qi ":$hex [0-9A-F:]* 0A" /proc/net/tcp 2>/dev/null && break
  sleep 0.1
done
grep -qi ":$hex [0-9A-F:]* 0A" /proc/net/tcp ||
  { echo "c-icap did not listen on $icap_port:" >&2; cat "$bench_tmp/c-icap.out" >&2; exit 1; }

start_agent "IcapPort = $icap_port"
status='{"opCode":"0","avType":"2","ServIp":"127.0.0.1","ServPort":"1344"}'
out=$(client job 2020 "$status")
[[ "$out" == *'"result": "0"'* ]] ||
  { echo "the status job against c-icap did not succeed: $out" >&2; exit 1; }

load() { client load --connections "$conns" --count "$count" --mode request --type 2020 --json "$status"; }
# CPU time (ms) used so far by the given processes, for the per-request
# diagnostics: which side spends the two cores.
tck=$(getconf CLK_TCK)
cpu_ms() { local pid; for pid in "$@"; do cat "/proc/$pid/stat" 2>/dev/null; done |
  awk -v t="$tck" '{ sub(/^.*\) /, ""); s += $12 + $13 } END { printf "%.0f", s * 1000 / t }'; }
sys_ms() { awk -v t="$tck" '{ sub(/^.*\) /, ""); printf "%.0f", $13 * 1000 / t }' "/proc/$1/stat"; }
cicap_cpu() { cpu_ms "$cicap_pid" $(pgrep -P "$cicap_pid"); }
per_req() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.1f", (b - a) * 1000 / n }'; }
TIMEFORMAT='%U %S'
timed() { { time "$@" >"$bench_tmp/timed.out" 2>/dev/null; } 2>"$bench_tmp/timed.cpu"; local rc=$?
  cat "$bench_tmp/timed.out"; return $rc; }
child_cpu_ms() { awk '{ printf "%.0f", ($1 + $2) * 1000 }' "$bench_tmp/timed.cpu"; }
kv() { awk -v k="$1" '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) { sub(/[a-z\/]+$/, "", kv[2]); print kv[2] } } }'; }

"$icap_bench" options --icap-port "$icap_port" --threads "$conns" --count 100 >/dev/null || exit 1
load >/dev/null   # warm-up
ratios=() arates=() drates=() d_bench=() d_cicap=() a_client=() a_agent=() a_agent_sys=() a_cicap=()
n=$((conns * count))
for r in $(seq "$rounds"); do
  c0=$(cicap_cpu)
  direct=$(timed "$icap_bench" options --icap-port "$icap_port" --threads "$conns" --count "$count") ||
    { echo "direct OPTIONS failed: $direct" >&2; exit 1; }
  d_bench+=("$(per_req 0 "$(child_cpu_ms)" "$n")")
  c1=$(cicap_cpu)
  g1=$(cpu_ms "$agent_pid")
  k1=$(sys_ms "$agent_pid")
  jobs=$(timed load)
  a_client+=("$(per_req 0 "$(child_cpu_ms)" "$n")")
  a_agent+=("$(per_req "$g1" "$(cpu_ms "$agent_pid")" "$n")")
  a_agent_sys+=("$(per_req "$k1" "$(sys_ms "$agent_pid")" "$n")")
  c2=$(cicap_cpu)
  d_cicap+=("$(per_req "$c0" "$c1" "$n")")
  a_cicap+=("$(per_req "$c1" "$c2" "$n")")
  d=$(printf '%s\n' "$direct" | kv rate)
  a=$(printf '%s\n' "$jobs" | kv rate)
  f=$(printf '%s\n' "$jobs" | kv failed)
  [ "$f" = 0 ] || { echo "round $r: $f status jobs failed: $jobs" >&2; exit 1; }
  ratio=$(awk -v a="$a" -v d="$d" 'BEGIN { printf "%.3f", (d > 0) ? a / d : 0 }')
  ratios+=("$ratio") arates+=("$a") drates+=("$d")
  echo "round $r: direct OPTIONS/s $d | status jobs/s $a | ratio $ratio"
  echo "  $direct"
  echo "  agent: $jobs"
done
# Every job of the last round must have reached c-icap and got its answer.
out=$(client job 2020 "$status")
[[ "$out" == *'{"status": "0","avType": "2","result": "0","isTag": ""}'* ]] ||
  { echo "the status job answer changed: $out" >&2; exit 1; }
errs=$(grep -c "Could not connect\|Icap get scan result failed" "$bench_tmp"/agent/log/*.log 2>/dev/null | awk -F: '{ s += $NF } END { print s + 0 }')
[ "$errs" -eq 0 ] || { echo "the agent logged $errs failed ICAP exchanges" >&2; exit 1; }
med=$(printf '%s\n' "${ratios[@]}" | median)
am=$(printf '%s\n' "${arates[@]}" | median)
dm=$(printf '%s\n' "${drates[@]}" | median)
echo "medians: status jobs/s $am, direct OPTIONS/s $dm ($conns connections, $count requests each per round)"
m() { printf '%s\n' "$@" | median; }
echo "diagnostics, CPU us per request (medians): direct: icap_bench $(m "${d_bench[@]}"), c-icap $(m "${d_cicap[@]}");" \
  "status jobs: client $(m "${a_client[@]}"), agent $(m "${a_agent[@]}") (of which in the kernel $(m "${a_agent_sys[@]}")), c-icap $(m "${a_cicap[@]}")"
verdict=$(awk -v m="$med" 'BEGIN { print (m >= 0.5) ? "MET" : "MISSED" }')
echo "RESULT icap_status_rate ratio=$med (median of ${#ratios[@]} rounds; status jobs/s over direct OPTIONS/s; target >= 0.5) $verdict"

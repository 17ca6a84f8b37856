# Shared by the bench scripts (sourced, not run): starts the agent from a
# temporary installation root on a free loopback port and stops it on exit.
# The root is a copy of the Release binary plus cfg/agentConfig.ini, so a
# benchmark never touches an installed agent or the repository's tree.
#
# Provides: BENCH_BUILD, AGENT_BIN, CLIENT_BIN, BENCH_PROGS, bench_tmp, agent_port, agent_pid,
#   start_agent [extra ini lines...], stop_agent, median, spread, client (client with --port).

bench_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BENCH_BUILD=${BENCH_BUILD:-$bench_here/../build/bench}
AGENT_BIN=$BENCH_BUILD/avagent
CLIENT_BIN=$BENCH_BUILD/avagent-client
BENCH_PROGS=$BENCH_BUILD/bench   # the bench/*.cpp programs

bench_tmp=$(mktemp -d /tmp/avbench.XXXXXX)
cd "$bench_tmp" || exit 1   # programs linked with the agent library keep their files here
agent_pid=
agent_port=
bench_cleanup_extra=()   # commands the script adds (run before the agent stops)

stop_agent() {
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$agent_pid" 2>/dev/null
    wait "$agent_pid" 2>/dev/null
  fi
  agent_pid=
}

bench_cleanup() {
  local c
  for c in "${bench_cleanup_extra[@]}"; do eval "$c"; done
  stop_agent
  rm -rf "$bench_tmp"
}
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

for b in "$AGENT_BIN" "$CLIENT_BIN"; do
  [ -x "$b" ] || { echo "missing $b (build with bench/run.sh first)" >&2; exit 1; }
done

port_in_use() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -qi ":$hex " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

free_port() {
  local p
  for _ in $(seq 100); do
    p=$((20000 + RANDOM % 40000))
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  return 1
}

# start_agent [ini lines appended to AGENT_SETTING]
start_agent() {
  local root=$bench_tmp/agent
  mkdir -p "$root/cfg" "$bench_tmp/unc"
  cp "$AGENT_BIN" "$root/avagent"
  agent_port=$(free_port) || { echo "no free port" >&2; exit 1; }
  {
    echo "[AGENT_SETTING]"
    echo "Port = $agent_port"
    echo "MaxJobNo = 5000"
    echo "FlowJobNo = 5000"
    echo "PortConnectTimeOut = 1000"
    echo "LogLevel = ${BENCH_LOG_LEVEL:-2}"
    echo "UncRoot = $bench_tmp/unc"
    local line
    for line in "$@"; do echo "$line"; done
    echo "[AV_GENERAL]"
    echo "VendorNum = 1"
    echo "[AV_VENDOR1]"
    echo "VendorName = Bench"
    echo "ProcessNameList = absent-engine,notthere.exe"
  } > "$root/cfg/agentConfig.ini"
  # Standard input from /dev/null: at its end the agent keeps running and waits
  # for its stop signal.
  (cd "$root" && exec ./avagent </dev/null >"$bench_tmp/agent.out" 2>&1) &
  agent_pid=$!
  local hex
  hex=$(printf '%04X' "$agent_port")
  for _ in $(seq 100); do
    grep -qi ":$hex [0-9A-F:]* 0A" /proc/net/tcp /proc/net/tcp6 2>/dev/null && return 0
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "agent did not start listening on $agent_port:" >&2
  cat "$bench_tmp/agent.out" >&2
  tail -20 "$root"/log/* >&2 2>/dev/null
  exit 1
}

client() { "$CLIENT_BIN" --port "$agent_port" "$@"; }

# median of the numbers on standard input, one per line.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print 0; exit }
  if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# "min..max" of the numbers on standard input, one per line.
spread() { sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s..%s\n", lo, hi }'; }

# field NAME from a "k=v k=v" line on standard input (units stripped).
field() { awk -v k="$1" '{ for (i = 1; i <= NF; i++) { split($i, kv, "=");
  if (kv[1] == k) { sub(/[a-z\/]+$/, "", kv[2]); print kv[2]; exit } } }'; }

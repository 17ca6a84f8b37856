#!/usr/bin/env bash
# Trigger-scan jobs per second on 8 verified connections, on a cached local
# file, against the rate of unsupported-type requests (203) in the same run.
# Usage: bench/scan_rate.sh [AVAGENT] [AVAGENT_CLIENT] [COUNT]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
agent_bin=${1:-$here/../build/release/avagent}
client_bin=${2:-$here/../build/release/avagent-client}
count=${3:-2000}  # per connection

tmp=$(mktemp -d /tmp/avscanbench.XXXXXX)
agent_pid=
cleanup() {
  exec 3>&- 2>/dev/null
  [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/agent/cfg" "$tmp/unc/srv/share"
echo clean > "$tmp/unc/srv/share/clean.txt"
cat "$tmp/unc/srv/share/clean.txt" >/dev/null  # cached
in_use() { grep -qi ":$(printf '%04X' "$1") " /proc/net/tcp /proc/net/tcp6 2>/dev/null; }
port=0
for _ in $(seq 50); do p=$((20000 + RANDOM % 40000)); in_use "$p" || { port=$p; break; }; done
cp "$agent_bin" "$tmp/agent/avagent"
cat > "$tmp/agent/cfg/agentConfig.ini" <<CFG
[AGENT_SETTING]
Port = $port
MaxJobNo = 100
FlowJobNo = 100
PortConnectTimeOut = 1000
LogLevel = 2
UncRoot = $tmp/unc
[AV_GENERAL]
VendorNum = 1
[AV_VENDOR1]
VendorName = None
ProcessNameList = none.exe
CFG
mkfifo "$tmp/agent.in"
"$tmp/agent/avagent" <"$tmp/agent.in" >"$tmp/agent.out" 2>&1 &
agent_pid=$!
exec 3>"$tmp/agent.in"
for _ in $(seq 200); do
  grep -qi ":$(printf '%04X' "$port") [0-9A-F:]* 0A" /proc/net/tcp && break
  sleep 0.1
done

scan='{"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\clean.txt"}'
load() { "$client_bin" --port "$port" load --connections 8 --count "$count" --mode request "$@"; }
# Answers per second, whatever their status (the unsupported ones count as "failed").
rate() { awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
              END { if (v["seconds"] > 0) printf "%.1f", (v["ok"] + v["failed"]) / v["seconds"] }'; }
load --type 2015 --json '{}' >/dev/null  # warm-up
base=$(load --type 2015 --json '{}')
echo "unsupported (203): $base"
jobs=$(load --type 2020 --json "$scan")
echo "trigger scan:      $jobs"
b=$(printf '%s\n' "$base" | rate)
j=$(printf '%s\n' "$jobs" | rate)
echo "answers/s: unsupported $b, trigger scan $j"
awk -v b="$b" -v j="$j" 'BEGIN { r = (b > 0) ? j / b : 0; printf "scan/unsupported = %.2f (floor 0.70)\n", r; exit !(r >= 0.70) }'

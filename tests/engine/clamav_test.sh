#!/usr/bin/env bash
# The real engine end to end: clamd with a local EICAR signature database and
# clamonacc (on-access prevention) watching a temporary UncRoot, the real agent
# in a temporary root, and avagent-client. A trigger scan of the EICAR file
# must answer 225 and a clean file 0; the engine-status job must see clamd and
# clamonacc running, and report them gone once they are stopped.
# Usage: clamav_test.sh [AVAGENT] [AVAGENT_CLIENT]   (prints "N passed, M failed")
# Needs the packages tests/engine/install_clamav.sh installs; installs nothing.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
agent_bin=${1:-$here/../../build/release/avagent}
client_bin=${2:-$here/../../build/release/avagent-client}
source "$here/../peer_test_lib.sh"
pids=()

for tool in clamd clamonacc; do
  command -v "$tool" >/dev/null || fail_setup "$tool is not installed (run tests/engine/install_clamav.sh)"
done
[ -x "$agent_bin" ] || fail_setup "no agent binary at $agent_bin"
[ -x "$client_bin" ] || fail_setup "no client binary at $client_bin"

tmp=$(mktemp -d /tmp/avclamav.XXXXXX)
chmod 755 "$tmp"
stop_pid() {  # pid: TERM, then KILL after 5 s
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}
cleanup() {
  exec 3>&- 2>/dev/null
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  [ -n "${AV_KEEP_TEST_ROOT:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT

# The share tree the agent maps \\srv\share\... to, with one EICAR and one clean file.
unc=$tmp/unc
mkdir -p "$unc/srv/share" "$tmp/db" "$tmp/run" "$tmp/agent/cfg"
eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
printf '%s' "$eicar" > "$unc/srv/share/eicar.com"
printf 'nothing to see\n' > "$unc/srv/share/clean.txt"
hex=$(printf '%s' "$eicar" | od -An -v -tx1 | tr -d ' \n')
[ ${#hex} -eq 136 ] || fail_setup "EICAR string is not 68 bytes"
echo "Eicar-Test-Signature:0:*:$hex" > "$tmp/db/local-eicar.ndb"
chown -R clamav:clamav "$tmp/db" "$tmp/run"

conf=$tmp/clamd.conf
cat > "$conf" <<CONF
DatabaseDirectory $tmp/db
LocalSocket $tmp/run/clamd.sock
Foreground yes
User clamav
LogFile $tmp/run/clamd.log
OnAccessIncludePath $unc
OnAccessPrevention yes
OnAccessExcludeUname clamav
CONF

clamd -c "$conf" >"$tmp/clamd.out" 2>&1 &
clamd_pid=$!
pids+=("$clamd_pid")
for _ in $(seq 300); do [ -S "$tmp/run/clamd.sock" ] && break; sleep 0.1; done
[ -S "$tmp/run/clamd.sock" ] || fail_setup "clamd did not start: $(cat "$tmp/clamd.out" "$tmp/run/clamd.log" 2>/dev/null)"

clamonacc -F -c "$conf" --fdpass -l "$tmp/clamonacc.log" >"$tmp/clamonacc.out" 2>&1 &
onacc_pid=$!
pids+=("$onacc_pid")
# Armed once the EICAR file can no longer be opened.
armed=0
for _ in $(seq 300); do
  if ! cat "$unc/srv/share/eicar.com" >/dev/null 2>&1; then armed=1; break; fi
  sleep 0.1
done
[ "$armed" -eq 1 ] || fail_setup "clamonacc did not block the EICAR file: $(cat "$tmp/clamonacc.out" "$tmp/clamonacc.log" 2>/dev/null)"

# A port free on both families, from the kernel's listener tables.
in_use() { grep -qi ":$(printf '%04X' "$1") " /proc/net/tcp /proc/net/tcp6 2>/dev/null; }
port=0
for _ in $(seq 50); do
  p=$((20000 + RANDOM % 40000))
  if ! in_use "$p"; then port=$p; break; fi
done
[ "$port" -ne 0 ] || fail_setup "no free port"

cp "$agent_bin" "$tmp/agent/avagent"
cat > "$tmp/agent/cfg/agentConfig.ini" <<CFG
[AGENT_SETTING]
Port = $port
MaxJobNo = 100
FlowJobNo = 100
PortConnectTimeOut = 1000
LogLevel = 4
UncRoot = $unc
[AV_GENERAL]
VendorNum = 2
[AV_VENDOR1]
VendorName = Other
ProcessNameList = other.exe
[AV_VENDOR2]
VendorName = ClamAV
ProcessNameList = clamd,clamonacc
CFG
mkfifo "$tmp/agent.in"
"$tmp/agent/avagent" <"$tmp/agent.in" >"$tmp/agent.out" 2>&1 &
agent_pid=$!
pids+=("$agent_pid")
exec 3>"$tmp/agent.in"  # keeps the agent's standard input open
listening=0
for _ in $(seq 200); do
  if grep -qi ":$(printf '%04X' "$port") [0-9A-F:]* 0A" /proc/net/tcp 2>/dev/null; then listening=1; break; fi
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
[ "$listening" -eq 1 ] || fail_setup "agent did not listen: $(cat "$tmp/agent.out")"

client() { "$client_bin" --port "$port" --timeout 20 "$@" 2>&1; }

check "EICAR file is refused by the engine (225)" '"result": "225"' "$(client scan '\\srv\share\eicar.com')"
check "clean file opens (0)" \
  '{"status": "0","avType": "0","result": "0","isTag": ""}' "$(client scan '\\srv\share\clean.txt')"
check "engine running by vendor" \
  '{"status": "0","avType": "0","isTag": ""}' "$(client status --vendor clamav)"
check "engine running by process name" '{"status": "0","avType": "0","isTag": ""}' \
  "$(client job 2010 '{"opCode":"0","avType":"0","message":"CLAMONACC"}')"

stop_pid "$onacc_pid"
stop_pid "$clamd_pid"
check "engine stopped by vendor" \
  '{"status": "1","avType": "0","isTag": ""}' "$(client status --vendor ClamAV)"
# With the engine down nothing blocks the open any more: why the status job exists.
check "EICAR opens once the engine is down" '"result": "0"' "$(client scan '\\srv\share\eicar.com')"

echo "/quit" >&3
for _ in $(seq 100); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$agent_pid" 2>/dev/null; then
  failed=$((failed + 1)); echo "FAIL agent did not end on /quit"
else
  passed=$((passed + 1)); echo "ok   agent ended on /quit"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

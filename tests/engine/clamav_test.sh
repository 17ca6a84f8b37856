#!/usr/bin/env bash
# The real engine end to end: clamd with a local EICAR signature and clamonacc
# (on-access prevention) on a scratch UncRoot, the real agent and client.
# Usage: clamav_test.sh [AVAGENT] [AVAGENT_CLIENT]; needs install_clamav.sh's packages.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
agent_bin=${1:-$here/../../build/release/avagent}
client_bin=${2:-$here/../../build/release/avagent-client}
source "$here/../peer_test_lib.sh"

for tool in clamd clamonacc; do
  command -v "$tool" >/dev/null || fail_setup "$tool is not installed (run tests/engine/install_clamav.sh)"
done
[ -x "$agent_bin" ] && [ -x "$client_bin" ] || fail_setup "no agent or client binary at $agent_bin, $client_bin"

tmp=$(mktemp -d /tmp/avclamav.XXXXXX)
chmod 755 "$tmp"
unc=$tmp/unc
mkdir -p "$unc/srv/share" "$tmp/db" "$tmp/run" "$tmp/agent/cfg"
eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
printf '%s' "$eicar" > "$unc/srv/share/eicar.com"
printf 'nothing to see\n' > "$unc/srv/share/clean.txt"
echo "Eicar-Test-Signature:0:*:$(printf '%s' "$eicar" | od -An -v -tx1 | tr -d ' \n')" > "$tmp/db/local-eicar.ndb"
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

clamd -c "$conf" >"$tmp/clamd.out" 2>&1 & clamd_pid=$!; pids+=("$clamd_pid")
for _ in $(seq 300); do [ -S "$tmp/run/clamd.sock" ] && break; sleep 0.1; done
[ -S "$tmp/run/clamd.sock" ] || fail_setup "clamd did not start: $(cat "$tmp/clamd.out" "$tmp/run/clamd.log" 2>/dev/null)"

clamonacc -F -c "$conf" --fdpass -l "$tmp/clamonacc.log" >"$tmp/clamonacc.out" 2>&1 & onacc_pid=$!; pids+=("$onacc_pid")
# Armed once the EICAR file can no longer be opened.
for _ in $(seq 300); do cat "$unc/srv/share/eicar.com" >/dev/null 2>&1 || break; sleep 0.1; done
cat "$unc/srv/share/eicar.com" >/dev/null 2>&1 &&
  fail_setup "clamonacc did not block the EICAR file: $(cat "$tmp/clamonacc.out" "$tmp/clamonacc.log" 2>/dev/null)"

port=$(free_port) || fail_setup "no free port"
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
start_agent "$agent_bin" "$tmp/agent" "$port"
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

echo "/quit" >&7
for _ in $(seq 100); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
check "agent ended on /quit" "gone" "$(kill -0 "$agent_pid" 2>/dev/null && echo running || echo gone)" exact

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

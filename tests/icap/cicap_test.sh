#!/usr/bin/env bash
# Both ICAP job kinds against a private c-icap through the real agent and client.
# c-icap answers the body-less scan request with 400: judged clean, ISTag unquoted.
# Usage: cicap_test.sh [AVAGENT] [AVAGENT_CLIENT]; needs install_cicap.sh's packages.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
agent_bin=${1:-$here/../../build/release/avagent}
client_bin=${2:-$here/../../build/release/avagent-client}
source "$here/../peer_test_lib.sh"

command -v c-icap >/dev/null || fail_setup "c-icap is not installed (run tests/icap/install_cicap.sh)"
[ -x "$agent_bin" ] && [ -x "$client_bin" ] || fail_setup "no agent or client binary at $agent_bin, $client_bin"
moddir=$(dirname "$(find /usr/lib -name virus_scan.so -path '*c_icap*' 2>/dev/null | head -1)")
[ -f "$moddir/virus_scan.so" ] || fail_setup "c-icap's virus_scan service is missing"

tmp=$(mktemp -d /tmp/avcicap.XXXXXX)
icap_port=$(free_port) || fail_setup "no free port"
agent_port=$(free_port) || fail_setup "no free port"
[ "$icap_port" != "$agent_port" ] || agent_port=$(free_port)

write_cicap_conf "$tmp/c-icap.conf" "$tmp" "$icap_port" "$moddir" 1 8
c-icap -N -f "$tmp/c-icap.conf" >"$tmp/c-icap.out" 2>&1 & pids+=($!)
wait_listening "$icap_port" 100 || fail_setup "c-icap did not listen on $icap_port: $(cat "$tmp/c-icap.out")"

# The server's own ISTag, to compare with what the agent reports.
exec 5<>"/dev/tcp/127.0.0.1/$icap_port" || fail_setup "cannot reach c-icap"
printf 'OPTIONS icap://127.0.0.1:%s/avscan ICAP/1.0\r\n\r\n' "$icap_port" >&5
options=""
while IFS= read -r -t 5 line <&5; do line=${line%$'\r'}; [ -z "$line" ] && break; options+="$line"$'\n'; done
exec 5>&-
check "c-icap answers OPTIONS itself" "ICAP/1.0 200 OK" "$options"
istag=$(printf '%s' "$options" | sed -n 's/^ISTag: *//p' | tr -d '"')
[ -n "$istag" ] || fail_setup "c-icap gave no ISTag"

root=$tmp/agent
mkdir -p "$root/cfg" "$root/unc"
printf '[AGENT_SETTING]\nPort=%s\nIcapPort=%s\nMaxJobNo=100\nFlowJobNo=100\nPortConnectTimeOut=1000\nLogLevel=5\nUncRoot=%s\nPwd=null\n[AV_GENERAL]\nVendorNum=1\n[AV_VENDOR1]\nVendorName=ClamAV\nProcessNameList=clamd,clamonacc\n' \
  "$agent_port" "$icap_port" "$root/unc" > "$root/cfg/agentConfig.ini"
start_agent "$agent_bin" "$root" "$agent_port"

agent_log() { cat "$root"/log/*.log 2>/dev/null; }
client() { "$client_bin" --port "$agent_port" --timeout 20 "$@" 2>&1; }

out=$(client icap-status --server 127.0.0.1 --serv-port 1)
rc=$?
check "status job exit code" "0" "$rc" exact
check "status job result" $'status: 100\n{"status": "0","avType": "2","result": "0","isTag": ""}' "$out" exact

out=$(client icap-status --server localhost)
check "status job by host name" '{"status": "0","avType": "2","result": "0","isTag": ""}' "$out"

out=$(client icap-scan --server 127.0.0.1 --serv-port 1 --method RESPMOD --path-key X-File-Path \
  '\\nas1\share\dir\report.doc')
rc=$?
check "scan job exit code" "0" "$rc" exact
check "scan job result: 400 judged clean, ISTag without quotes" \
  $'status: 100\n{"status": "0","avType": "1","result": "0","isTag": "'"$istag"'"}'$'\nverdict: clean' "$out" exact
log=$(agent_log)
check "scan job logged the unlisted status" "[WARN][Recv icap message (ICAP/1.0 400 Bad request) invaild]" "$log"
check "scan job judged state 0" "[Icap scan result(0).]" "$log"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

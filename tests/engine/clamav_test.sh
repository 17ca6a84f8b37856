#!/usr/bin/env bash
# The real engine end to end: clamd with a local EICAR signature and clamonacc
# (on-access prevention) on a scratch UncRoot and a canary folder, the real
# agent and client. The status job follows clamonacc through the canary.
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
unc=$tmp/unc
guard=$tmp/guard
mkdir -p "$tmp/agent/cfg" "$guard"
start_clamav "$tmp" "$unc" "$guard"

port=${AV_TEST_PORT:-$(free_port)} || fail_setup "no free port"
# The canary is missing: the agent writes it.
cat > "$tmp/agent/cfg/agentConfig.ini" <<CFG
[AGENT_SETTING]
Port = $port
MaxJobNo = 100
FlowJobNo = 100
PortConnectTimeOut = 1000
LogLevel = 4
UncRoot = $unc
CanaryPath = $guard/eicar.com
[AV_GENERAL]
VendorNum = 1
[AV_VENDOR1]
VendorName = ClamAV
ProcessNameList = clamd,clamonacc
CFG
start_agent "$agent_bin" "$tmp/agent" "$port"
client() { "$client_bin" --port "$port" --timeout 20 "$@" 2>&1; }
running='{"status": "0","avType": "0","isTag": ""}'
stopped='{"status": "1","avType": "0","isTag": ""}'
# status_until EXPECTED: status jobs every 0.25 s for up to 10 s; prints the
# last answer and the seconds it took to get EXPECTED (on stderr too).
status_until() {
  local start=$SECONDS out
  for _ in $(seq 40); do out=$(client status --vendor clamav); [[ "$out" == *"$1"* ]] && break; sleep 0.25; done
  echo "$out after $((SECONDS - start)) s" | tee /dev/stderr
}
agent_log() { cat "$tmp/agent/log/"* 2>/dev/null; }

check "EICAR file is refused by the engine (225)" '"result": "225"' "$(client scan '\\srv\share\eicar.com')"
# A script reads the verdict from the exit code, and --json output alone.
json=$("$client_bin" --port "$port" --timeout 20 --json scan '\\srv\share\eicar.com' 2>/dev/null)
check "EICAR scan exits 225 with the bare JSON" \
  '225 {"status": "0","avType": "0","result": "225","isTag": ""}' "$? $json" exact
check "the log names the infected file" 'Scan of \\srv\share\eicar.com: infected (225).' "$(agent_log)"
check "engine running by vendor (its first probe writes the canary)" "$running" "$(client status --vendor clamav)"
check "the canary is refused" "is refused by the on-access scanner(225): protection works" "$(agent_log)"

# clamonacc stopped, clamd still running: the canary opens.
stop_pid "$onacc_pid"
check "clamonacc stopped: not running" "$stopped after" "$(status_until "$stopped")"
check "clamonacc stopped: one WARN" "1" "$(agent_log | grep -c 'opened: the on-access scanner does not protect')" exact
check "clamonacc stopped: trigger scans open EICAR" '"result": "0"' "$(client scan '\\srv\share\eicar.com')"
start_onacc
check "clamonacc back: running" "$running after" "$(status_until "$running")"
check "clamonacc back: INFO" "2" "$(agent_log | grep -c 'INFO.*protection works')" exact

stop_pid "$onacc_pid"
stop_pid "$clamd_pid"
check "engine stopped by vendor" "$stopped" "$(client status --vendor ClamAV)"
# With the engine down nothing blocks the open any more: why the status job exists.
check "EICAR opens once the engine is down" '"result": "0"' "$(client scan '\\srv\share\eicar.com')"

echo "/quit" >&7

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# avagent.exe under Wine (private WINEPREFIX) driven over loopback by the Linux
# client and tests/tools/storage_peer.py: what goes through the Windows layer:
# UNC opens via $WINEPREFIX/dosdevices/unc with the system's codes, process
# snapshot, Winsock, configuration watcher and write-back, the taken port, "/quit".
# Usage: wine_e2e.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
win=${1:-$here/../../build/windows}
lin=${2:-$here/../../build/release}
source "$here/../peer_test_lib.sh"
source "$here/wine_env.sh"
trap 'wine_stop; cleanup_peers' EXIT

[ -f "$win/avagent.exe" ] || fail_setup "no $win/avagent.exe (scripts/build-windows.sh)"
[ -x "$lin/avagent-client" ] || fail_setup "no Linux client at $lin/avagent-client"
[ -x "$lin/tests/icap_script_server" ] || fail_setup "no $lin/tests/icap_script_server"

tmp=$(mktemp -d /tmp/avwine.XXXXXX)
wine_prefix "$tmp/prefix" || fail_setup "wineboot failed: $(cat "$tmp/prefix.log" 2>/dev/null)"
root=$WINEPREFIX/drive_c/AvAgent
share=$WINEPREFIX/dosdevices/unc/srv/share
mkdir -p "$root/cfg" "$share/dir"
printf 'clean\n' > "$share/dir/clean.txt"
printf 'deep\n' > "$share/dir/deep file ü.txt"

port=${AV_WINE_PORT:-$(free_port)} || fail_setup "no free port"
# ICAP: a scripted peer on loopback answers OPTIONS and a clean RESPMOD.
"$lin/tests/icap_script_server" --port-file "$tmp/icap.port" --connections 0 --lifetime 300 \
  --answer 'ICAP/1.0 200 OK\r\nMethods: RESPMOD\r\nISTag: "W1"\r\n\r\n' >"$tmp/icap.out" 2>&1 &
pids+=("$!")
for _ in $(seq 50); do [ -s "$tmp/icap.port" ] && break; sleep 0.1; done
icap_port=$(cat "$tmp/icap.port" 2>/dev/null)
cat > "$root/cfg/agentConfig.ini" <<CFG
[AGENT_SETTING]
Port=$port
IcapPort=$icap_port
MaxJobNo=100
FlowJobNo=100
PortConnectTimeOut=1000
LogLevel=5
[AV_GENERAL]
VendorNum=2
[AV_VENDOR1]
VendorName=Absent
ProcessNameList=absent.exe
[AV_VENDOR2]
VendorName=WineEngine
ProcessNameList=other.exe,services.exe
CFG
cp "$win/avagent.exe" "$root/"
mkfifo "$tmp/agent.in"
exec 7<>"$tmp/agent.in"
# Started from another folder, with no tmp/ in the root yet: the first record
# comes before the root is known, and the log must still land in the root.
start_wine_agent() {
  (cd "$tmp" && exec "$WINE" 'C:\AvAgent\avagent.exe' <"$tmp/agent.in" >>"$tmp/agent.out" 2>&1) &
  agent_pid=$!
  pids+=("$agent_pid")
  wait_listening "$port" 300 || fail_setup "agent did not listen on $port: $(cat "$tmp/agent.out")"
}
start_wine_agent

client() { "$lin/avagent-client" --port "$port" --timeout 20 "$@" 2>&1; }
ok_scan='{"status": "0","avType": "0","result": "0","isTag": ""}'
scan_code() { client "$@" | sed -n 's/.*"result": "\([0-9]*\)".*/\1/p'; }

check "handshake v17, clean file through \\\\?\\UNC (0)" "$ok_scan" "$(client --proto 17 scan '\\srv\share\dir\clean.txt')"
# A storage system written apart from the agent's code, on the older handshake.
check "independent peer: v16 handshake, engine status" '{"status": "0","avType": "0","isTag": ""}' "$(python3 \
  "$here/../tools/storage_peer.py" --port "$port" --version 16 2010 '{"opCode":"0","avType":"0","vendorName":"WineEngine"}' 2>&1)" exact
check "IPv6 listener answers" "$ok_scan" "$(client --host ::1 scan '\\srv\share\dir\clean.txt')"
check "non-ASCII name and blank" "0" "$(scan_code scan '\\srv\share\dir\deep file ü.txt')" exact
check "missing file: 2 from CreateFileW" "2" "$(scan_code scan '\\srv\share\dir\none.txt')" exact
check "missing folder: 3 from CreateFileW" "3" "$(scan_code scan '\\srv\share\nodir\none.txt')" exact
check "a folder is refused: 5" "5" "$(scan_code scan '\\srv\share\dir')" exact
check "'..' refused before any open: 123" "123" "$(scan_code scan '\\srv\share\..\..\x')" exact

running='{"status": "0","avType": "0","isTag": ""}'
stopped='{"status": "1","avType": "0","isTag": ""}'
check "engine status from the Toolhelp snapshot: running" "$running" "$(client status --vendor wineengine)"
check "engine status: not running" "$stopped" "$(client status --vendor Absent)"
check "engine status by process name" "$running" "$(client job 2010 '{"opCode":"0","avType":"0","message":"SERVICES.EXE"}')"
# Nothing listens on port 445 of loopback here: the probe reports it closed.
check "port check over Winsock: closed port" '"lifIpsStatus":[{"lifid":"7","status":"1"}]' \
  "$(client status --vendor Absent --lif 7=127.0.0.1)"

check "ICAP status through the agent" '{"status": "0","avType": "2","result": "0","isTag": ""}' \
  "$(client icap-status --server 127.0.0.1)"
check "ICAP scan through the agent, ISTag read back" '"isTag": "W1"' "$(client icap-scan --server 127.0.0.1 '\\nas1\share\a.doc')"

# Write-back and watcher: a new key in Pwd is taken, stored and replaced by "null".
newkey='Wine-Agent-Key-42'
sed -i "/^\[AV_GENERAL\]/i Pwd=$newkey" "$root/cfg/agentConfig.ini"  # replaced by a rename: one change
for _ in $(seq 100); do grep -q '^Pwd=null' "$root/cfg/agentConfig.ini" && break; sleep 0.1; done
check "watcher took the new key and wrote Pwd=null back" "Pwd=null" "$(grep '^Pwd' "$root/cfg/agentConfig.ini")" exact

# A second agent (another root) on the same port is told so and ends with -1 (255).
root2=$WINEPREFIX/drive_c/AvAgent2
mkdir -p "$root2/cfg" && cp "$root/cfg/agentConfig.ini" "$root2/cfg/" && cp "$win/avagent.exe" "$root2/"
second=$(cd "$tmp" && timeout 60 "$WINE" 'C:\AvAgent2\avagent.exe' </dev/null 2>&1; echo "exit $?")
check "second agent on a taken port is refused" "is already in use by another process." "$second"
check "second agent exit code" "exit 255" "$second"
check "first agent still serves" "$ok_scan" "$(client scan '\\srv\share\dir\clean.txt')"

logtext=$(cat -v "$root"/log/* 2>/dev/null)
check "log under the drive-letter root C:\\AvAgent\\log" "Antivirus agent start." "$logtext"
check "records name the program file, not its path" '[avagent.exe]' "$logtext"

echo "/quit" >&7
quit_code=timeout
for _ in $(seq 300); do kill -0 "$agent_pid" 2>/dev/null || { wait "$agent_pid"; quit_code=$?; break; }; sleep 0.1; done
check "/quit ends the agent with 0" "0" "$quit_code" exact

# The stored credential is the key after a restart.
start_wine_agent
check "restarted agent takes the stored key" "$ok_scan" "$(client --key "$newkey" scan '\\srv\share\dir\clean.txt')"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Every "$ demo/avagent-client ..." line of the README, run against a demo root
# laid out by scripts/demo-root.sh, gives the shown lines (standard output, then
# standard error) and exit code.
# Usage: readme_test.sh AVAGENT AVAGENT_CLIENT
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../..
source "$here/../peer_test_lib.sh"

tmp=$(mktemp -d /tmp/avdemo.XXXXXX)
bash "$src/scripts/demo-root.sh" "$tmp/demo" "$1" "$2" || fail_setup "demo-root.sh failed"
port=$(free_port) || fail_setup "no free port"
sed -i "s/^Port=.*/Port=$port/" "$tmp/demo/cfg/agentConfig.ini"
check "demo listens on loopback only" "ListenAddress=127.0.0.1" "$(grep ListenAddress= "$tmp/demo/cfg/agentConfig.ini")" exact
start_agent "$1" "$tmp/demo" "$port"

examples=0
run_example() {  # command line, expected exit code, expected lines
  examples=$((examples + 1))
  local got want=$3
  # Engine status depends on the machine: "0" while an engine process runs.
  if [[ "$1" == *'status --vendor'* ]] && pgrep -x 'clamd|clamonacc' >/dev/null; then
    want=${want/\"status\": \"1\"/\"status\": \"0\"}
  fi
  got=$(cd "$tmp" && eval "demo/avagent-client --port $port ${1#demo/avagent-client }" 2>&1; echo "exit $?")
  check "$1" "$want"$'\n'"exit $2" "$got" exact
}
cmd='' want='' code=''
while IFS= read -r line; do
  if [[ "$line" == '    $ demo/avagent-client '* ]]; then
    [ -n "$cmd" ] && run_example "$cmd" "$code" "$want"
    cmd=${line#    \$ } code=${cmd##*# exit } code=${code%%[!0-9]*} cmd=${cmd%%  *#*} want=''
  elif [ -n "$cmd" ] && [[ "$line" == '    '* ]]; then
    line=${line#    }
    want=${want:+$want$'\n'}$line
  elif [ -n "$cmd" ]; then
    run_example "$cmd" "$code" "$want"
    cmd=''
  fi
done < "$src/README.md"
check "README shows the demo examples" "4" "$examples" exact
check "a storage system built from the README's protocol section alone scans the sample" \
  '{"status": "0","avType": "0","result": "0","isTag": ""}' "$(python3 "$here/../tools/storage_peer.py" --port "$port" \
  2020 '{"opCode":"1","avType":"0","FilePath":"\\\\demo\\share\\hello.txt"}' 2>&1)" exact

echo "/quit" >&7
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

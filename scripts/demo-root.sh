#!/usr/bin/env bash
# Lays out a demo installation root: the agent and client binaries, the
# default configuration made safe for a demo (listening on loopback only,
# UncRoot inside the root) and a share holding one sample file, so that
# \\demo\share\hello.txt is found. An existing configuration is kept.
# Usage: demo-root.sh ROOT AVAGENT AVAGENT_CLIENT
set -euo pipefail
root=$1 agent=$2 client=$3
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/cfg" "$root/log" "$root/tmp" "$root/unc/demo/share"
root=$(cd "$root" && pwd)
install -m 0755 "$agent" "$root/avagent"
install -m 0755 "$client" "$root/avagent-client"
printf 'Hello from the demo share.\n' > "$root/unc/demo/share/hello.txt"
if [ ! -f "$root/cfg/agentConfig.ini" ]; then
  sed -e "s|^ListenAddress=.*|ListenAddress=127.0.0.1|" -e "s|^UncRoot=.*|UncRoot=$root/unc|" \
    "$src/config/agentConfig.ini" > "$root/cfg/agentConfig.ini"
  chmod 0600 "$root/cfg/agentConfig.ini"
fi

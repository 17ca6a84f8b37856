#!/usr/bin/env bash
# Builds the agent and starts it in the foreground in a demo installation root
# (./demo) with the default configuration. Type /quit or press Ctrl-C to stop.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"${AV_BUILD_JOBS:-2}" --target avagent avagent-client
mkdir -p demo/cfg demo/log demo/tmp
install -m 0755 build/demo/avagent demo/avagent
install -m 0755 build/demo/avagent-client demo/avagent-client
[ -f demo/cfg/agentConfig.ini ] || install -m 0600 config/agentConfig.ini demo/cfg/agentConfig.ini
echo "Agent root: $(pwd)/demo   (logs in demo/log, configuration in demo/cfg/agentConfig.ini)"
echo "Try it from another shell: demo/avagent-client job 2015 '{}'   (expects status: 203)"
exec demo/avagent

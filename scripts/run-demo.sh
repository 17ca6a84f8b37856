#!/usr/bin/env bash
# Builds the agent and starts it in the foreground in a demo installation root
# (./demo): the default configuration, but listening on 127.0.0.1 only and with
# its own UncRoot (demo/unc) holding \\demo\share\hello.txt. Type /quit or
# press Ctrl-C to stop.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAV_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"${AV_BUILD_JOBS:-2}" --target avagent avagent-client
bash scripts/demo-root.sh demo build/demo/avagent build/demo/avagent-client
echo "Agent root: $(pwd)/demo   (logs in demo/log, configuration in demo/cfg/agentConfig.ini)"
echo "Try it from another shell: demo/avagent-client scan '\\\\demo\\share\\hello.txt'"
exec demo/avagent

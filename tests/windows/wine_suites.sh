#!/usr/bin/env bash
# The unit suites of a Windows build (scripts/build-windows.sh --tests) run by
# ctest through wine in a fresh private WINEPREFIX.
# Usage: wine_suites.sh WINDOWS_BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win=${1:-$here/../../build/windows}
source "$here/wine_env.sh"
tmp=$(mktemp -d /tmp/avwinesuites.XXXXXX)
trap 'wine_stop; rm -rf "$tmp"' EXIT
wine_prefix "$tmp/prefix" || { echo "wineboot failed: $(cat "$tmp/prefix.log")"; exit 1; }
ctest --no-tests=error --test-dir "$win" --output-on-failure --timeout 900

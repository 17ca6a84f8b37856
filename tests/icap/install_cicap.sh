#!/usr/bin/env bash
# Installs the ICAP server the real-peer tests start (c-icap with its virus_scan
# service) from Debian's packages, without letting the packaged service run:
# the tests start their own instance on a loopback port. Idempotent; run as root.
set -euo pipefail
source "$(cd "$(dirname "$0")/.." && pwd)/peer_test_lib.sh"
install_peer_packages c-icap libc-icap-mod-virus-scan
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  systemctl disable --now c-icap >/dev/null 2>&1 || true
fi

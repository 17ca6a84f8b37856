#!/usr/bin/env bash
# Installs the local engine the real-engine test starts (clamd and clamonacc)
# from Debian's packages, without letting the packaged services run: the test
# starts its own clamd with its own database. Idempotent; run as root.
set -euo pipefail
source "$(cd "$(dirname "$0")/.." && pwd)/peer_test_lib.sh"
install_peer_packages clamav-daemon clamdscan
# Whatever the package scripts did, no packaged daemon may run beside the test's.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  systemctl disable --now clamav-daemon clamav-freshclam clamav-clamonacc >/dev/null 2>&1 || true
fi

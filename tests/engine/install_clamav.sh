#!/usr/bin/env bash
# Installs the local engine the real-engine test starts (clamd and clamonacc)
# from Debian's packages. Signature downloads are impossible here and the test
# runs its own clamd with its own database, so freshclam is preseeded to manual
# and a deny-all policy-rc.d keeps the packaged services from starting during
# the install (restored afterwards). Idempotent; run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

pkgs=(clamav-daemon clamdscan)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "clamav-freshclam clamav-freshclam/autoupdate_freshclam select manual" | debconf-set-selections

policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  made_policy=1
fi
cleanup() { [ "$made_policy" -eq 1 ] && rm -f "$policy"; return 0; }
trap cleanup EXIT

# Another installer may hold the dpkg lock for a while: wait for it.
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
# Whatever the package scripts did, no packaged daemon may run beside the test's.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  systemctl disable --now clamav-daemon clamav-freshclam clamav-clamonacc >/dev/null 2>&1 || true
fi

#!/usr/bin/env bash
# Installs the ICAP server the real-peer tests start (c-icap with its virus_scan
# service) from Debian's packages. The packaged service must never start on its
# own: the tests run their own instance on a loopback port, so a deny-all
# policy-rc.d is put in place for the install when the machine has none.
# Idempotent; run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

pkgs=(c-icap libc-icap-mod-virus-scan)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  made_policy=1
fi
cleanup() { [ "$made_policy" -eq 1 ] && rm -f "$policy"; return 0; }
trap cleanup EXIT

# The virus_scan module pulls in freshclam; signature downloads cannot work here.
echo "clamav-freshclam clamav-freshclam/autoupdate_freshclam select manual" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# Whatever the package's scripts did, no packaged instance may hold a port.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  systemctl disable --now c-icap >/dev/null 2>&1 || true
fi

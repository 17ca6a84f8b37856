#!/usr/bin/env bash
# Installs the Debian 12 packages the agent needs to build (with --windows, to
# cross-build it for Windows too; with --test, to run every test, real peers and
# the Windows build under Wine included). Idempotent; run as root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export DEBIAN_FRONTEND=noninteractive

need=(g++ cmake make pkg-config libjson-c-dev libssl-dev libsystemd-dev)
# The Windows cross-build (scripts/build-windows.sh): mingw-w64 with POSIX
# threads, dpkg-source to unpack Debian's OpenSSL and json-c sources, zip and
# googletest's sources; wine64 runs the suites under Wine.
windows=(g++-mingw-w64-x86-64-posix dpkg-dev zip googletest)
if [ "${1:-}" = "--windows" ]; then
  need+=("${windows[@]}")
fi
if [ "${1:-}" = "--test" ]; then
  need+=(libgtest-dev procps psmisc clang libclang-rt-14-dev python3
         python3-prometheus-client python3-cryptography "${windows[@]}" wine64)
fi
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = "--test" ]; then
  bash "$here/../tests/engine/install_clamav.sh"
  bash "$here/../tests/icap/install_cicap.sh"
fi

#!/usr/bin/env bash
# Builds the Debian package: a Release build with Debian's hardening flags in
# build/package, then cpack -G DEB, then lintian. Prints the .deb's path on its
# last line; exits non-zero when the build fails or lintian reports an error.
# Usage: scripts/build-package.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${1:-build/package}
[ $# -gt 0 ] && shift
jobs=${AV_BUILD_JOBS:-2}

bash scripts/install-deps.sh
need=()
for p in lintian dpkg-dev gzip; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The flags Debian builds its own packages with (fortify, stack protector,
# full RELRO, PIE); lintian checks for them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DAV_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  ${CI:+-DAV_WERROR=ON} "$@" >/dev/null
cmake --build "$dir" -j"$jobs" --target avagent avagent-client avagent-deb-docs >/dev/null
rm -f "$dir"/avagent_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/avagent_*.deb)

# Errors fail the build; warnings and the rest are shown.
lintian --fail-on error --display-info "$deb" >&2
echo "$deb"

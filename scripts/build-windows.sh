#!/usr/bin/env bash
# Cross-builds the agent and the storage-side client for 64-bit Windows with
# Debian's mingw-w64 (installed first by scripts/install-deps.sh --windows):
# build/windows/avagent.exe, avagent-client.exe and avagent-windows.zip, the
# folder an administrator unpacks. libcrypto and json-c for the target are
# built from Debian 12's own source packages once and cached under
# build/windows-deps, so a second run only rebuilds the agent.
#   --tests   also build the unit suites (ctest --test-dir build/windows runs
#             them under wine; tests/windows/wine_e2e.sh drives the agent)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/windows
deps=$root/build/windows-deps
triple=x86_64-w64-mingw32
jobs=${AV_BUILD_JOBS:-2}
with_tests=OFF
[ "${1:-}" = "--tests" ] && with_tests=ON

bash "$root/scripts/install-deps.sh" --windows || { echo "installing dependencies failed" >&2; exit 1; }
for tool in $triple-gcc-posix $triple-g++-posix cmake make zip apt-get dpkg-source; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh --windows)" >&2; exit 1; }
done
mkdir -p "$deps"

# Debian's sources of one package through a deb-src entry that exists for this
# call only: its own sources list and package lists under the cache folder,
# nothing of the system's apt configuration touched.
fetch_source() {
  local pkg=$1 apt=$deps/apt
  ls -d "$deps/src/$pkg"-*/ >/dev/null 2>&1 && return
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$deps/src"
  echo "deb-src http://deb.debian.org/debian bookworm main" > "$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "Debug::NoLocking=1"
              -o "APT::Sandbox::User=$(id -un)")
  ls "$apt/lists" | grep -q Sources || apt-get "${opts[@]}" update -qq
  (cd "$deps/src" && apt-get "${opts[@]}" source -qq --only-source "$pkg" >/dev/null)
}

# libcrypto only (no libssl, apps or tests): all the agent links.
build_openssl() {
  [ -f "$deps/lib/libcrypto.a" ] && return
  fetch_source openssl
  local src; src=$(ls -d "$deps"/src/openssl-*/ | head -1)
  echo "building libcrypto for Windows from $(basename "$src") (log: $deps/openssl.log)"
  (cd "$src" &&
    ./Configure mingw64 no-shared no-tests no-asm no-engine no-ui-console \
      --cross-compile-prefix=$triple- --prefix="$deps" --libdir=lib &&
    make -j"$jobs" build_generated && make -j"$jobs" libcrypto.a) >"$deps/openssl.log" 2>&1
  mkdir -p "$deps/lib" "$deps/include"
  cp -r "$src/include/openssl" "$deps/include/"
  cp "$src/libcrypto.a" "$deps/lib/"
}

build_jsonc() {
  [ -f "$deps/lib/libjson-c.a" ] && return
  fetch_source json-c
  local src; src=$(ls -d "$deps"/src/json-c-*/ | head -1)
  echo "building json-c for Windows from $(basename "$src") (log: $deps/json-c.log)"
  (cmake -S "$src" -B "$deps/build-json-c" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
     -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF \
     -DDISABLE_WERROR=ON -DCMAKE_INSTALL_PREFIX="$deps" -Wno-dev &&
   cmake --build "$deps/build-json-c" -j"$jobs" &&
   cmake --install "$deps/build-json-c") >"$deps/json-c.log" 2>&1
}

start=$(date +%s)
build_openssl
build_jsonc
echo "windows libraries ready in $(( $(date +%s) - start ))s ($deps)"

start=$(date +%s)
export PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig AV_WIN_DEPS=$deps
cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPENSSL_ROOT_DIR="$deps" ${CI:+-DAV_WERROR=ON} \
  -DAV_BUILD_TESTS=$with_tests >/dev/null
cmake --build "$out" -j"$jobs"

# The zip: the two programs without their debug sections, the default
# configuration under cfg\ and the README.
stage=$out/zip/avagent
rm -rf "$out/zip" "$out/avagent-windows.zip"
mkdir -p "$stage/cfg"
for exe in avagent avagent-client; do $triple-strip -o "$stage/$exe.exe" "$out/$exe.exe"; done
sed 's|^UncRoot=.*|UncRoot=\\\\?\\UNC|; s/$/\r/' "$root/config/agentConfig.ini" > "$stage/cfg/agentConfig.ini"
sed 's/$/\r/' "$root/README.md" > "$stage/README.txt"
(cd "$out/zip" && zip -qr "$out/avagent-windows.zip" avagent)
echo "windows programs built in $(( $(date +%s) - start ))s: $out/avagent.exe, $out/avagent-client.exe, $out/avagent-windows.zip"

#!/usr/bin/env bash
# Cross-builds the agent and the storage-side client for 64-bit Windows with
# Debian's mingw-w64: build/windows/avagent.exe, avagent-client.exe and the
# zip an administrator unpacks. libcrypto and json-c for the target are built
# from Debian's own source packages once and cached under build/windows-deps.
#   --tests   also build the unit suites (run them with wine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/windows
deps=$root/build/windows-deps
triple=x86_64-w64-mingw32
jobs=${AV_JOBS:-2}
with_tests=OFF
[ "${1:-}" = "--tests" ] && with_tests=ON

for tool in $triple-gcc-posix $triple-g++-posix cmake make zip; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh --windows)" >&2; exit 1; }
done

# Debian's sources for one package, through a deb-src entry that exists only for
# this call: its own sources list and package lists under the cache directory.
fetch_source() {
  local pkg=$1 apt=$deps/apt
  ls -d "$deps/src/$pkg"-*/ >/dev/null 2>&1 && return
  mkdir -p "$apt/lists/partial" "$deps/src"
  if [ ! -f "$apt/sources.list" ]; then
    printf '%s\n' \
      "deb-src http://deb.debian.org/debian bookworm main" > "$apt/sources.list"
  fi
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "Debug::NoLocking=1"
              -o "APT::Sandbox::User=root")
  mkdir -p "$apt/cache/archives/partial"
  [ -n "$(ls "$apt/lists" 2>/dev/null | grep Sources)" ] || apt-get "${opts[@]}" update -qq
  (cd "$deps/src" && apt-get "${opts[@]}" source -qq --only-source "$pkg" >/dev/null)
}

build_openssl() {
  [ -f "$deps/lib/libcrypto.a" ] && return
  fetch_source openssl
  local src; src=$(ls -d "$deps"/src/openssl-*/ | head -1)
  (cd "$src" &&
    ./Configure mingw64 no-shared no-tests no-asm no-engine no-ui-console \
      --cross-compile-prefix=$triple- --prefix="$deps" --libdir=lib >/dev/null &&
    make -s -j"$jobs" build_generated >/dev/null &&
    make -s -j"$jobs" libcrypto.a >/dev/null)
  mkdir -p "$deps/lib" "$deps/include"
  cp -r "$src/include/openssl" "$deps/include/"
  cp "$src/libcrypto.a" "$deps/lib/"
}

build_jsonc() {
  [ -f "$deps/lib/libjson-c.a" ] && return
  fetch_source json-c
  local src; src=$(ls -d "$deps"/src/json-c-*/ | head -1)
  cmake -S "$src" -B "$deps/build-json-c" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF \
    -DDISABLE_WERROR=ON -DCMAKE_INSTALL_PREFIX="$deps" >/dev/null
  cmake --build "$deps/build-json-c" -j"$jobs" >/dev/null
  cmake --install "$deps/build-json-c" >/dev/null
}

start=$(date +%s)
build_openssl
build_jsonc
echo "windows deps ready in $(( $(date +%s) - start ))s ($deps)"

# The programs (and with --tests the unit suites, run later under wine).
export PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig
export AV_WIN_DEPS=$deps
start=$(date +%s)
cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPENSSL_ROOT_DIR="$deps" -DAV_WERROR=ON \
  -DAV_BUILD_TESTS=$with_tests >/dev/null
cmake --build "$out" -j"$jobs"
echo "windows programs built in $(( $(date +%s) - start ))s"

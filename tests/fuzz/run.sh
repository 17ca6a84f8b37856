#!/bin/bash
# tests/fuzz/run.sh [seconds-per-target (30)] [target...]: builds the targets,
# replays crashes/<target>-*, then fuzzes from corpus/<target>/. Non-zero on a
# crash, leak or time-out (inputs in <build>/artifacts/). AV_FUZZ_SAVE_CORPUS=1
# merges the grown corpus back, minimised.
set -u
secs=${1:-30}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
build=${AV_FUZZ_BUILD:-$here/../../build/fuzz}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_frame fuzz_handshake fuzz_jobs fuzz_icap_answer fuzz_trigger_path)

CC=clang CXX=clang++ cmake -S "$here/../.." -B "$build" -DAV_BUILD_FUZZ=ON -DAV_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j2 --target "${targets[@]}" || exit 1
work=$build/fuzz-work
rm -rf "$work"
mkdir -p "$work" "$build/artifacts"
export AVFUZZ_TMP=$work
trap 'rm -rf "$work"' EXIT

status=0
for t in "${targets[@]}"; do
  bin=$build/tests/fuzz/$t corpus=$work/corpus/$t maxlen=10240
  mkdir -p "$corpus"
  cp "$here/corpus/$t"/* "$corpus"/ 2>/dev/null
  case $t in fuzz_jobs) maxlen=4096 ;; fuzz_handshake) maxlen=1024 ;; fuzz_trigger_path) maxlen=16384 ;; esac
  for crash in "$here/crashes/$t"-*; do
    [ -f "$crash" ] || continue
    "$bin" "$crash" > "$work/$t.replay.log" 2>&1 && continue
    echo "!! $t fails on $(basename "$crash"):"
    grep -E "fuzz:|ERROR|SUMMARY" "$work/$t.replay.log" | head -5
    status=1
  done
  echo "== $t: ${secs}s"
  "$bin" -max_total_time="$secs" -max_len=$maxlen -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$corpus" > "$work/$t.log" 2>&1
  rc=$?
  grep -E "DONE|^stat::number_of_executed_units|^stat::peak_rss" "$work/$t.log"
  cp "$work/$t.log" "$build/artifacts/$t.last.log"
  if [ $rc -ne 0 ]; then
    echo "!! $t failed (exit $rc); log tail:"; tail -40 "$work/$t.log"; status=1
  elif [ "${AV_FUZZ_SAVE_CORPUS:-0}" = 1 ]; then
    "$bin" -merge=1 -max_len=$maxlen "$here/corpus/$t" "$corpus" > "$work/$t.merge.log" 2>&1
  fi
done
exit $status

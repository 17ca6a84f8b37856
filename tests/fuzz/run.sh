#!/bin/bash
# Builds the libFuzzer targets and runs each for the given number of seconds
# (default 30) from a small seed corpus written here plus tests/fuzz/corpus/.
# Inputs that once failed (tests/fuzz/crashes/<target>-*) are replayed first.
# Exits non-zero when a target crashed, leaked or timed out; the inputs that
# did are left in <build>/artifacts/. With AV_FUZZ_SAVE_CORPUS=1 the corpus a
# run grew is minimised into tests/fuzz/corpus/<target>/ for the next runs.
#   tests/fuzz/run.sh [seconds-per-target] [target...]
set -u
secs=${1:-30}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${AV_FUZZ_BUILD:-$src/build/fuzz}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_frame fuzz_handshake fuzz_jobs fuzz_icap_answer fuzz_trigger_path)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DAV_BUILD_FUZZ=ON -DAV_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null || exit 1
cmake --build "$build" -j2 --target "${targets[@]}" || exit 1

work=$build/fuzz-work
rm -rf "$work"
mkdir -p "$work" "$build/artifacts"
export AVFUZZ_TMP=$work
trap 'rm -rf "$work"' EXIT

# Seeds: python writes the binary ones (little-endian frame fields).
python3 - "$work/seeds" <<'PY'
import os, struct, sys
root = sys.argv[1]
def put(target, name, data):
    d = os.path.join(root, target); os.makedirs(d, exist_ok=True)
    open(os.path.join(d, name), "wb").write(data if isinstance(data, bytes) else data.encode())
def frame(body, version=17, mtype=2020, length=None):
    n = len(body) if length is None else length
    return (struct.pack("<IIIII12x", 0xFEDCBA98, version, mtype, n, 0) + body +
            struct.pack("<I8xI", 0, 0x76543210))
job = b'{"opCode":"1","avType":"0","FilePath":"\\\\\\\\srv\\\\share\\\\clean.txt"}\x00'
put("fuzz_frame", "plain", b"\x00" + frame(job, 16))
put("fuzz_frame", "two", b"\x00" + frame(b"{}\x00", 16, 2010) + frame(b"", 16))
put("fuzz_frame", "verified16", b"\x01" + frame(job, 16))
put("fuzz_frame", "verified17", b"\x02" + frame(job, 17) + b"\x00" * 16)
put("fuzz_frame", "shortbody", b"\x00" + frame(b"abc", 16, length=40))
put("fuzz_handshake", "v17", b"\x01\x01\x00" + bytes(range(64)))
put("fuzz_handshake", "v17long", b"\x01\x01\x00" + bytes(range(80)))
put("fuzz_handshake", "v16", b"\x02\x00\x00")
put("fuzz_handshake", "raw", b"\x00" + frame(b"\x11" * 160, 17, 2001))
put("fuzz_handshake", "lie", b"\x01\x05\x21" + bytes(range(16)))
put("fuzz_jobs", "local", job[:-1])
put("fuzz_jobs", "localdir", '{"opCode":1,"avType":0,"FilePath":"\\\\srv\\share\\dir"}')
put("fuzz_jobs", "icap", '{"opCode":"1","avType":1,"Method":"REQMOD","PathKey":"X-Path",'
    '"FilePath":"\\\\srv\\share\\a.txt","LifIp":"127.0.0.1","ServIp":"127.0.0.1",'
    '"ServPort":1344,"Infection":"X-Infection-Found","Violation":"X-Violations-Found"}')
put("fuzz_jobs", "icapstatus", '{"opCode":"1","avType":2,"ServIp":"::1","ServPort":1344}')
put("fuzz_jobs", "status", '{"opCode":"0","avType":"0","vendorName":"Runner","lifIps":'
    '[{"ip":"127.0.0.1","lifid":"7"},{"ip":"::1","lifid":"0x10"}]}')
put("fuzz_jobs", "statusmsg", '{"opCode":0,"avType":0,"message":"bash"}')
ok = ("ICAP/1.0 200 OK\r\nISTag: \"W3E4R7U9\"\r\nX-Infection-Found: Type=0; "
      "Resolution=2; Threat=EICAR;\r\nX-Violations-Found: 1\r\n\tfile.txt\r\n\tEICAR\r\n"
      "Encapsulated: null-body=0\r\n\r\n")
put("fuzz_icap_answer", "infected", "\x00" + ok)
put("fuzz_icap_answer", "clean", "\x00ICAP/1.0 204 No Content\r\nISTag: \"x\"\r\n\r\n")
put("fuzz_icap_answer", "short", "\x01ICAP/1.0 403 Forbidden\r\nISTag: t\r\nInfection: Resolution=2\r\n"
    "Violation: 2\r\nv1\r\n\r\n")
# Trigger path: first byte even = UTF-8 rest, odd = UTF-16LE rest; names from
# the fuzz root's jail of links.
for name, rest in [("host", "\\srv\\share\\host"), ("up", "\\srv\\share\\up"),
                   ("far", "\\srv/share/dir/far"), ("zero", "\\srv\\share\\zero"),
                   ("top", "\\srv\\share\\top\\srv\\share\\dots\\etc\\passwd"),
                   ("in", "\\srv\\share\\dir\\in\\back"), ("dotdot", "\\srv\\..\\x"),
                   ("dot", "\\srv\\share\\.\\loop"), ("nosep", "srv\\share")]:
    put("fuzz_trigger_path", name, "\x00" + rest)
put("fuzz_trigger_path", "wide", b"\x01" + "\\srv\\share\\\u00e9\U0001f600".encode("utf-16-le")
    + b"\x00\xd8\\\x00x\x00")
PY

status=0
for t in "${targets[@]}"; do
  corpus=$work/corpus/$t
  mkdir -p "$corpus"
  cp "$work/seeds/$t"/* "$corpus"/ 2>/dev/null
  [ -d "$here/corpus/$t" ] && cp "$here/corpus/$t"/* "$corpus"/ 2>/dev/null
  case $t in
    fuzz_jobs) maxlen=4096 ;;
    fuzz_handshake) maxlen=1024 ;;
    fuzz_trigger_path) maxlen=16384 ;;  # past the mapped path's room
    *) maxlen=10240 ;;
  esac
  for crash in "$here/crashes/$t"-*; do
    [ -f "$crash" ] || continue
    if ! "$build/tests/fuzz/$t" "$crash" > "$work/$t.replay.log" 2>&1; then
      echo "!! $t fails on $(basename "$crash"):"
      grep -E "fuzz:|^result|ERROR|SUMMARY" "$work/$t.replay.log" | head -5
      status=1
    fi
  done
  echo "== $t: ${secs}s"
  "$build/tests/fuzz/$t" -max_total_time="$secs" -max_len=$maxlen -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
    "$corpus" > "$work/$t.log" 2>&1
  rc=$?
  grep -E "DONE|^stat::number_of_executed_units|^stat::peak_rss" "$work/$t.log"
  cp "$work/$t.log" "$build/artifacts/$t.last.log"
  if [ $rc -eq 0 ] && [ "${AV_FUZZ_SAVE_CORPUS:-0}" = 1 ]; then
    mkdir -p "$here/corpus/$t"
    "$build/tests/fuzz/$t" -merge=1 -max_len=$maxlen "$here/corpus/$t" "$corpus" \
      > "$work/$t.merge.log" 2>&1 && grep -E "MERGE-OUTER: [0-9]+ new files" "$work/$t.merge.log"
  fi
  if [ $rc -ne 0 ]; then
    echo "!! $t failed (exit $rc); log tail:"
    tail -40 "$work/$t.log"
    status=1
  fi
done
exit $status

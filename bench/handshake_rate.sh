#!/usr/bin/env bash
# Handshakes: verified connections per second from two client processes at
# once (each connect + challenge + answer + result + close), against the
# single-core RSA-1024 private-key (sign) rate of `openssl speed` measured in
# the same run: the agent's RSA private decryption is the floor of a
# handshake's cost. The sign rate is taken over elapsed time (-elapsed), as
# the handshakes are: on a busy machine both then see the same load, where a
# CPU-time rate would not. Rounds alternate the two measures; the median of
# the per-round ratios is the result, with their spread. Each round also runs
# handshake_floor: the same bytes and the same locked RSA decryption per
# connection with nothing else around them, from two bare client processes.
# Its ratio is the most this machine lets a handshake reach while its clients
# share the CPUs; the agent's figure is best read against that.
# Usage: bench/handshake_rate.sh [ROUNDS] [HANDSHAKES_PER_CONNECTION] [CONNECTIONS_PER_CLIENT]
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/agent_env.sh"
rounds=${1:-5}
count=${2:-1500}
conns=${3:-2}

# sign/s column of the rsa 1024 line, found by the header's column name.
openssl_sign_rate() {
  openssl speed -elapsed -seconds 3 rsa1024 2>/dev/null | awk '
    /sign\/s/ { for (i = 1; i <= NF; i++) if ($i == "sign/s") col = i + 3 }
    /^rsa +1024 +bits/ && col { print $col; exit }'
}

# CPU time of the agent in microseconds (utime + stime), to show where the
# handshake's cost lies next to the sign time when the rate falls short.
agent_cpu_us() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f", ($14 + $15) * 1000000 / hz }' "/proc/$agent_pid/stat"; }

floor_bin=$BENCH_PROGS/handshake_floor
[ -x "$floor_bin" ] || { echo "missing $floor_bin (build with bench/run.sh first)" >&2; exit 1; }
"$floor_bin" serve --port-file "$bench_tmp/floor.port" &
floor_pid=$!
bench_cleanup_extra+=('kill "$floor_pid" 2>/dev/null; wait "$floor_pid" 2>/dev/null')
for _ in $(seq 100); do [ -s "$bench_tmp/floor.port" ] && break; sleep 0.05; done
floor_port=$(cat "$bench_tmp/floor.port" 2>/dev/null)
[ -n "$floor_port" ] || { echo "handshake_floor did not start" >&2; exit 1; }
# Bare handshakes per second from two client processes at once.
floor_rate() {
  local a b
  a=$("$floor_bin" load --port "$floor_port" --connections "$conns" --count "$count" &
      "$floor_bin" load --port "$floor_port" --connections "$conns" --count "$count"; wait)
  awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
         ok += v["ok"]; if (v["seconds"] > m) m = v["seconds"] }
       END { printf "%.1f", (m > 0) ? ok / m : 0 }' <<<"$a"
}

start_agent
client load --connections "$conns" --count 50 --mode handshake >/dev/null  # warm-up

ratios=() floors=()
for r in $(seq "$rounds"); do
  sign=$(openssl_sign_rate)
  [ -n "$sign" ] || { echo "could not read the openssl sign/s figure" >&2; exit 1; }
  out1=$bench_tmp/hs1.$r out2=$bench_tmp/hs2.$r
  c0=$(agent_cpu_us)
  t0=$(date +%s.%N)
  client load --connections "$conns" --count "$count" --mode handshake >"$out1" &
  p1=$!
  client load --connections "$conns" --count "$count" --mode handshake >"$out2" &
  p2=$!
  wait "$p1"; rc1=$?
  wait "$p2"; rc2=$?
  t1=$(date +%s.%N)
  c1=$(agent_cpu_us)
  ok1=$(field ok <"$out1"); ok2=$(field ok <"$out2")
  f1=$(field failed <"$out1"); f2=$(field failed <"$out2")
  s1=$(field seconds <"$out1"); s2=$(field seconds <"$out2")
  # Both processes run together: total verified over the longer of the two runs.
  rate=$(awk -v a="$ok1" -v b="$ok2" -v x="$s1" -v y="$s2" 'BEGIN { m = x > y ? x : y; printf "%.1f", (m > 0) ? (a + b) / m : 0 }')
  ratio=$(awk -v h="$rate" -v s="$sign" 'BEGIN { printf "%.3f", (s > 0) ? h / s : 0 }')
  ratios+=("$ratio")
  floor=$(floor_rate)
  floors+=("$(awk -v h="$floor" -v s="$sign" 'BEGIN { printf "%.3f", (s > 0) ? h / s : 0 }')")
  printf 'round %d: openssl rsa1024 sign/s %s | handshakes/s %s (ok %s+%s, failed %s+%s, client rc %s/%s, wall %.2fs) | ratio %s\n' \
    "$r" "$sign" "$rate" "$ok1" "$ok2" "$f1" "$f2" "$rc1" "$rc2" "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b-a}')" "$ratio"
  awk -v c=$((c1 - c0)) -v n=$((ok1 + ok2)) -v s="$sign" 'BEGIN {
    printf "  agent CPU per handshake %.0f us (one openssl sign %.0f us)\n", (n > 0) ? c / n : 0, 1000000 / s }'
  echo "  bare floor: handshakes/s $floor | ratio ${floors[-1]}"
  echo "  client 1: $(cat "$out1")"
  echo "  client 2: $(cat "$out2")"
done
med=$(printf '%s\n' "${ratios[@]}" | median)
spread=$(printf '%s\n' "${ratios[@]}" | spread)
fmed=$(printf '%s\n' "${floors[@]}" | median)
echo "bare floor ratio $fmed (spread $(printf '%s\n' "${floors[@]}" | spread)); the agent reaches $(awk -v a="$med" -v f="$fmed" 'BEGIN { printf "%.2f", (f > 0) ? a / f : 0 }') of it"
verdict=$(awk -v m="$med" 'BEGIN { print (m >= 0.7) ? "MET" : "MISSED" }')
echo "RESULT handshake ratio=$med (median of ${#ratios[@]} rounds, spread $spread; handshakes/s over openssl sign/s; target >= 0.7) $verdict"

# Sourced by the real-peer scripts: pass/fail counting, peers stopped on exit,
# and an install that keeps packaged daemons from starting.

passed=0
failed=0

check() {  # name, expected text, actual text, [exact]
  local ok=0
  if [ "${4:-}" = exact ]; then [[ "$3" == "$2" ]] && ok=1
  else [[ "$3" == *"$2"* ]] && ok=1; fi
  if [ $ok -eq 1 ]; then passed=$((passed + 1)); echo "ok   $1"
  else failed=$((failed + 1)); echo "FAIL $1: expected '$2' ${4:-in}:"; printf '%s\n' "$3" | sed 's/^/     /'; fi
}

fail_setup() { failed=$((failed + 1)); echo "setup failed: $*"; echo "$passed passed, $failed failed"; exit 1; }

# Processes in pids are stopped (TERM, KILL after 5 s) and tmp removed on exit.
pids=()
stop_pid() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; return 0
}
cleanup_peers() {
  exec 7>&- 2>/dev/null
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  [ -n "${AV_KEEP_TEST_ROOT:-}" ] || rm -rf "${tmp:-/nonexistent}"
}
trap cleanup_peers EXIT

listening() {  # port: true when something listens on it (IPv4 or IPv6)
  awk -v p=":$(printf '%04X' "$1")" '$4 == "0A" && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
free_port() {
  local p
  for _ in $(seq 200); do p=$((20000 + RANDOM % 40000)); listening "$p" || { echo "$p"; return 0; }; done
  return 1
}
wait_listening() {  # port, tenths of a second
  for _ in $(seq "$2"); do listening "$1" && return 0; sleep 0.1; done
  return 1
}

# start_agent AGENT_BIN ROOT PORT: runs a copy in ROOT (cfg written by the caller)
# with standard input held on fd 7, so "echo /quit >&7" ends it.
start_agent() {
  cp "$1" "$2/avagent"
  mkfifo "$2/agent.in"
  exec 7<>"$2/agent.in"
  (cd / && exec "$2/avagent" <"$2/agent.in" >"$2/agent.out" 2>&1) &
  agent_pid=$!
  pids+=("$agent_pid")
  wait_listening "$3" 200 || fail_setup "agent did not listen on $3: $(cat "$2/agent.out")"
}

# install_peer_packages PKG...: installs what is missing under a deny-all
# policy-rc.d and a manual freshclam (no signature downloads here).
install_peer_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "clamav-freshclam clamav-freshclam/autoupdate_freshclam select manual" | debconf-set-selections
  local policy=/usr/sbin/policy-rc.d made=0 rc=0
  [ -e "$policy" ] || { printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod 755 "$policy"; made=1; }
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}" || rc=1
  [ $made -eq 1 ] && rm -f "$policy"
  return $rc
}

# write_cicap_conf FILE DIR PORT MODDIR SERVERS THREADS: a private c-icap on
# 127.0.0.1:PORT, virus_scan under both names the agent uses (names are
# case-sensitive), no clamd behind it.
write_cicap_conf() {
  local file=$1 dir=$2 port=$3 moddir=$4 servers=$5 threads=$6
  cat > "$file" <<CONF
PidFile $dir/c-icap.pid
CommandsSocket $dir/c-icap.ctl
Timeout 30
StartServers $servers
MaxServers 2
MinSpareThreads 4
MaxSpareThreads $threads
ThreadsPerChild $threads
Port 127.0.0.1:$port
TmpDir $dir
ServerLog $dir/c-icap-server.log
AccessLog $dir/c-icap-access.log
DebugLevel 0
ModulesDir $moddir
ServicesDir $moddir
TemplateDir /usr/share/c_icap/templates/
LoadMagicFile /etc/c-icap/c-icap.magic
Module common clamd_mod.so
clamd_mod.ClamdSocket $dir/no-clamd.sock
Service antivirus_module virus_scan.so
ServiceAlias avscan virus_scan?allow204=on
ServiceAlias AVSCAN virus_scan?allow204=on
CONF
}

# start_clamav DIR UNC [PATH...]: clamd with one local signature (EICAR) and
# clamonacc with on-access prevention on UNC and each further PATH, both run
# from DIR (their pids in pids, clamd_pid and onacc_pid; the test string in
# eicar). Returns once the engine blocks UNC/srv/share/eicar.com.
start_clamav() {
  local dir=$1 unc=$2 path
  clamav_dir=$1 clamav_unc=$2
  shift 2
  mkdir -p "$unc/srv/share" "$dir/db" "$dir/run" && chmod 755 "$dir"
  eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
  printf '%s' "$eicar" > "$unc/srv/share/eicar.com"
  echo "Eicar-Test-Signature:0:*:$(printf '%s' "$eicar" | od -An -v -tx1 | tr -d ' \n')" > "$dir/db/local-eicar.ndb"
  chown -R clamav:clamav "$dir/db" "$dir/run"
  {
    echo "DatabaseDirectory $dir/db"
    echo "LocalSocket $dir/run/clamd.sock"
    printf 'Foreground yes\nUser clamav\nOnAccessPrevention yes\nOnAccessExcludeUname clamav\n'
    echo "LogFile $dir/run/clamd.log"
    for path in "$unc" "$@"; do echo "OnAccessIncludePath $path"; done
  } > "$dir/clamd.conf"
  clamd -c "$dir/clamd.conf" >"$dir/clamd.out" 2>&1 & clamd_pid=$!; pids+=("$clamd_pid")
  for _ in $(seq 300); do [ -S "$dir/run/clamd.sock" ] && break; sleep 0.1; done
  [ -S "$dir/run/clamd.sock" ] || fail_setup "clamd did not start: $(cat "$dir/clamd.out" "$dir/run/clamd.log" 2>/dev/null)"
  start_onacc
}

# start_onacc: clamonacc again for the engine start_clamav started; returns once
# the EICAR file can no longer be opened.
start_onacc() {
  local dir=$clamav_dir unc=$clamav_unc
  clamonacc -F -c "$dir/clamd.conf" --fdpass -l "$dir/clamonacc.log" >"$dir/clamonacc.out" 2>&1 & onacc_pid=$!; pids+=("$onacc_pid")
  for _ in $(seq 300); do cat "$unc/srv/share/eicar.com" >/dev/null 2>&1 || break; sleep 0.1; done
  cat "$unc/srv/share/eicar.com" >/dev/null 2>&1 &&
    fail_setup "clamonacc did not block the EICAR file: $(cat "$dir/clamonacc.out" "$dir/clamonacc.log" 2>/dev/null)"
  return 0
}

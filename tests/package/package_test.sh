#!/usr/bin/env bash
# The Debian package: builds it (scripts/build-package.sh, which fails on any
# lintian error), checks its contents, control data and unit, and, as root,
# installs it, runs the installed agent as the avagent user, upgrades it to a
# second build and purges it. Leaves no package, folder or user behind.
# Usage: package_test.sh [build-dir]   (prints "N passed, M failed")
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
dir=${1:-$top/build/package-test}
source "$here/../peer_test_lib.sh"

base=$(sed -n 's/^project(avagent VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$base" ] || fail_setup "no project version in CMakeLists.txt"
next="$base+pkgtest"
tmp=$(mktemp -d /tmp/avpkg.XXXXXX)
agent_pid=
engine_pid=
user_existed=0
id avagent >/dev/null 2>&1 && user_existed=1

cleanup() {
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null
  [ -n "$engine_pid" ] && kill -KILL "$engine_pid" 2>/dev/null
  if [ "$(id -u)" -eq 0 ]; then
    dpkg-query -W -f='${Status}' avagent 2>/dev/null | grep -q "ok installed" &&
      dpkg --purge avagent >/dev/null 2>&1
    [ $user_existed -eq 0 ] && id avagent >/dev/null 2>&1 && deluser --system --quiet avagent 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# Both builds share one build folder: only main.cpp sees the version.
deb_old=$(bash "$top/scripts/build-package.sh" "$dir" -DAV_VERSION="$base" 2>"$tmp/lintian.txt" | tail -1) ||
  { cat "$tmp/lintian.txt"; fail_setup "package build or lintian failed"; }
mkdir "$tmp/old" && cp "$deb_old" "$tmp/old/" && deb_old=$tmp/old/$(basename "$deb_old")
check "lintian reports no error or warning" "" "$(grep -E '^[EW]: ' "$tmp/lintian.txt")" exact

# Paths, links, modes and the conffile are checked below by installing it and
# running what it installed.
check "depends on adduser" "adduser" "$(dpkg-deb -f "$deb_old" Depends)"
check "version" "$base-1" "$(dpkg-deb -f "$deb_old" Version)" exact

# The unit as packaged: confined to the exposure target, running as avagent,
# and not hiding what the jobs need (/proc of the engine, the share mounts).
dpkg-deb -x "$deb_old" "$tmp/root"
unit=$tmp/root/lib/systemd/system/avagent.service
exposure=$(systemd-analyze security --offline=true --root="$tmp/root" "$unit" 2>&1 |
  sed -n 's/.*Overall exposure level for avagent.service: \([0-9.]*\).*/\1/p')
check "exposure at most 2.0 (got '$exposure')" "yes" "$(awk -v e="$exposure" 'BEGIN { print (e != "" && e <= 2.0) ? "yes" : "no" }')"
check "unit runs the packaged agent as avagent" "ExecStart=/usr/lib/avagent/avagent User=avagent" \
  "$(grep -E '^(ExecStart|User)=' "$unit" | xargs)" exact
check "only CAP_DAC_READ_SEARCH" "CapabilityBoundingSet=CAP_DAC_READ_SEARCH" "$(grep '^CapabilityBoundingSet=' "$unit")" exact
check "engine processes and shares stay visible" "" \
  "$(grep -E '^(ProtectProc=(invisible|noaccess|ptraceable)|(Inaccessible|TemporaryFileSystem)=.*/mnt)' "$unit")" exact

if [ "$(id -u)" -ne 0 ]; then
  echo "not root: install, upgrade and purge skipped"
  echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit
fi
dpkg-query -W -f='${Status}' avagent 2>/dev/null | grep -q "ok installed" &&
  fail_setup "an avagent package is installed already; not touching it"

deb_new=$(bash "$top/scripts/build-package.sh" "$dir" -DAV_VERSION="$next" 2>/dev/null | tail -1) ||
  fail_setup "second package build failed"

stat_of() { stat -c '%U:%G %a' "$@" 2>&1; }

out=$(dpkg -i "$deb_old" </dev/null 2>&1); rc=$?
check "install succeeds" "0" "$rc" exact; [ $rc -eq 0 ] || echo "$out"
check "system user avagent" "yes /usr/sbin/nologin" \
  "$(u=$(id -u avagent); [ "$u" -lt 1000 ] && echo yes) $(getent passwd avagent | cut -d: -f7)" exact
check "folder owners and modes" "avagent:avagent 750 avagent:avagent 600 avagent:avagent 750 avagent:avagent 750" \
  "$(stat_of /etc/avagent /etc/avagent/agentConfig.ini /var/log/avagent /var/lib/avagent | xargs)" exact
check "unit enabled" "/lib/systemd/system/avagent.service" \
  "$(readlink /etc/systemd/system/multi-user.target.wants/avagent.service)" exact
check "installed agent prints its version" "avagent $base" "$(/usr/sbin/avagent --version 2>&1)" exact

# The installed agent as the service would run it: not root, umask 0027, only
# CAP_DAC_READ_SEARCH. It must take a new key from Pwd, write it back through
# cfg/, log through log/, keep its level settings in tmp/, and open a file on
# a share that only root may read.
port=$((20000 + $$ % 20000))
key='Pkg-Test-Key-2025!x'
mkdir -p "$tmp/unc/srv/share" && echo clean >"$tmp/unc/srv/share/secret"
chmod 0700 "$tmp/unc/srv/share" && chmod 0600 "$tmp/unc/srv/share/secret"
sed -i "s/^Port=.*/Port=$port/; s/^Pwd=.*/Pwd=$key/; s|^UncRoot=.*|UncRoot=$tmp/unc|;
  s/^ProcessNameList=.*/ProcessNameList=avpkgengine/" /etc/avagent/agentConfig.ini
# An engine process of another user, whose /proc/PID/exe the agent may not read.
cp /bin/sleep "$tmp/avpkgengine" && "$tmp/avpkgengine" 120 &
engine_pid=$!
(umask 0027; exec setpriv --reuid=avagent --regid=avagent --clear-groups \
   --inh-caps=-all,+dac_read_search --ambient-caps=-all,+dac_read_search \
   /usr/lib/avagent/avagent </dev/null >"$tmp/agent.out" 2>&1) &
agent_pid=$!
answer=
for _ in $(seq 50); do
  answer=$(/usr/bin/avagent-client --port "$port" --key "$key" job 2015 '{}' 2>&1) && break
  [[ "$answer" == *"status: 203"* ]] && break
  sleep 0.2
done
check "installed agent answers with the new key" "status: 203" "$answer"
check "the capability opens a root-only file on a share" '"result": "0"' \
  "$(/usr/bin/avagent-client --port "$port" --key "$key" scan '\\srv\share\secret' 2>&1)"
check "engine of another user detected" '"status": "0"' \
  "$(/usr/bin/avagent-client --port "$port" --key "$key" status --vendor ClamAV 2>&1)"
kill -TERM "$agent_pid" "$engine_pid"; wait "$agent_pid" "$engine_pid" 2>/dev/null; agent_pid=
check "key written back, Pwd reset" "Pwd=null 1" \
  "$(grep -o '^Pwd=null' /etc/avagent/agentConfig.ini) $(grep -c '^Credential=' /etc/avagent/agentConfig.ini)" exact
check "rewritten configuration keeps owner and mode" "avagent:avagent 600" "$(stat_of /etc/avagent/agentConfig.ini)" exact
check "log written under /var/log/avagent" "avagent:avagent 640" \
  "$(stat_of /var/log/avagent/log*.log | sort -u | head -1)" exact
check "level settings under /var/lib/avagent" "1064" "$(stat -c %s /var/lib/avagent/dbglog.cfg 2>&1)" exact

out=$(dpkg -i "$deb_new" </dev/null 2>&1); rc=$?
check "upgrade succeeds without a conffile question" "0" "$rc" exact; [ $rc -eq 0 ] || echo "$out"
check "upgraded agent prints the new version" "avagent $next" "$(/usr/lib/avagent/avagent --version 2>&1)" exact
check "upgrade keeps the stored key and the local port" "Port=$port 1" \
  "$(grep -o "^Port=$port" /etc/avagent/agentConfig.ini) $(grep -c '^Credential=' /etc/avagent/agentConfig.ini)" exact
check "upgrade keeps owners and modes" "avagent:avagent 750 avagent:avagent 600 avagent:avagent 750 avagent:avagent 750" \
  "$(stat_of /etc/avagent /etc/avagent/agentConfig.ini /var/log/avagent /var/lib/avagent | xargs)" exact

out=$(dpkg --purge avagent </dev/null 2>&1); rc=$?
check "purge succeeds" "0" "$rc" exact; [ $rc -eq 0 ] || echo "$out"
left=$(ls -d /etc/avagent /var/log/avagent /var/lib/avagent /usr/lib/avagent \
  /etc/systemd/system/multi-user.target.wants/avagent.service 2>/dev/null)
check "purge leaves no files" "" "$left" exact
check "purge leaves no stat overrides" "" "$(dpkg-statoverride --list | grep avagent)" exact

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

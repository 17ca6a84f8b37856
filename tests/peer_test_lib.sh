# Shared by the scripts that test against real peers (sourced, not run):
# pass/fail counting, and the install guard that keeps packaged daemons from
# starting while their packages are installed.

passed=0
failed=0

check() {  # name, expected text, actual text, [exact]
  local ok=0
  if [ "${4:-}" = exact ]; then [[ "$3" == "$2" ]] && ok=1
  else [[ "$3" == *"$2"* ]] && ok=1; fi
  if [ $ok -eq 1 ]; then
    passed=$((passed + 1)); echo "ok   $1"
  else
    failed=$((failed + 1)); echo "FAIL $1: expected '$2' ${4:-in}:"; printf '%s\n' "$3" | sed 's/^/     /'
  fi
}

fail_setup() {
  echo "setup failed: $*"
  failed=$((failed + 1))
  echo "$passed passed, $failed failed"
  exit 1
}

# install_peer_packages PKG...: installs what is missing with a deny-all
# policy-rc.d in place (when the machine has none) and freshclam set to manual,
# since signature downloads cannot work here and the tests start their own
# daemons. Returns at once when everything is installed.
install_peer_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "clamav-freshclam clamav-freshclam/autoupdate_freshclam select manual" | debconf-set-selections
  local policy=/usr/sbin/policy-rc.d made=0 rc=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    made=1
  fi
  # Another installer may hold the dpkg lock for a while: wait for it.
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}" || rc=1
  [ $made -eq 1 ] && rm -f "$policy"
  return $rc
}

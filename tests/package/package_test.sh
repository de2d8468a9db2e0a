#!/usr/bin/env bash
# The Debian package named by FRACTAL_DEB (scripts/package prints its path), one case a run:
#
#   package_test.sh CASE BUILD_DIR
#
#   lintian   lintian reports no error
#   depends   Depends names the package of every shared library the programs load
#   contents  the files, their modes, the programs under their installed names, the pages
#   install   `cmake --install --strip` of BUILD_DIR puts the same files under a prefix
#   units     `systemd-analyze verify` passes on each unit without a word
#   exposure  `systemd-analyze security` rates each unit no worse than it was made
#   scripts   in a root of its own (DPKG_ROOT): configure makes the group netobj and /etc/netobj
#             (root:netobj, 0750) once and no key; removal takes away the links that enabling
#             the units made, and no others; purge takes /etc/netobj only when empty and keeps
#             the group; this host's groups and /etc are left as they were
#   pool      the client pool run from the unpacked tree against an agent and a server of the
#             same tree: N clients, a killed one started again after the pause, all rejoining a
#             restarted server, all stopped on SIGTERM
#
# Every process started here is stopped by its pid, and every wait is bounded.
set -euo pipefail

case_name=${1:?usage: package_test.sh CASE BUILD_DIR}
build_dir=${2:?usage: package_test.sh CASE BUILD_DIR}

# Pipelines end in a reader that takes its whole input (grep without -q, sed -n 1p): under
# pipefail, a writer cut off by SIGPIPE would fail the pipeline whatever the reader found.
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The files of the package, with their modes. An install under a prefix has the same files
# without the leading usr/.
expected_files() {
  cat <<'EOF'
755 usr/bin/fractal-client
755 usr/bin/fractal-server
755 usr/bin/netobj-agent
755 usr/libexec/fractal-renderer/fractal-client-pool
644 usr/lib/systemd/system/fractal-client@.service
644 usr/lib/systemd/system/netobj-agent.service
644 usr/share/doc/fractal-renderer/README.md
644 usr/share/doc/fractal-renderer/changelog.Debian.gz
644 usr/share/doc/fractal-renderer/copyright
644 usr/share/man/man1/fractal-client.1.gz
644 usr/share/man/man1/fractal-server.1.gz
644 usr/share/man/man1/netobj-agent.1.gz
EOF
}

# The worst exposure each unit may have; what the units achieve now.
max_exposure() {
  case $1 in
    netobj-agent.service) echo 1.1 ;;
    fractal-client@*.service) echo 1.1 ;;
    *) fail "no exposure bound for $1" ;;
  esac
}

work=$(mktemp -d)
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 30); do
    local alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT

if [ "$case_name" != install ]; then
  [ -n "${FRACTAL_DEB:-}" ] || fail "FRACTAL_DEB is not set: run scripts/package and export FRACTAL_DEB=<the path it prints>"
  [ -f "$FRACTAL_DEB" ] || fail "FRACTAL_DEB=$FRACTAL_DEB is not a file"
fi

# The package unpacked as `dpkg-deb -x` does it, into $work/root.
unpack() {
  root=$work/root
  mkdir -p "$root"
  dpkg-deb -x "$FRACTAL_DEB" "$root"
}

# True while process $1 exists and is not a zombie waiting for its parent.
alive() {
  [ -r "/proc/$1/stat" ] || return 1
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

dead() { ! alive "$1"; }

# Waits up to $1 tenths of a second for command "${@:2}" to succeed.
await() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  "$@"
}

is_stripped() {
  ! readelf -S --wide "$1" | grep -E ' \.(symtab|debug_info) ' >/dev/null
}

# ---------------------------------------------------------------------------------------------
case_lintian() {
  local out=$work/lintian.txt
  # As root lintian says that it would rather not run as root; that line is no finding.
  lintian --fail-on error --display-info "$FRACTAL_DEB" >"$out" 2>&1 || {
    cat "$out" >&2
    fail "lintian reports errors"
  }
  cat "$out"
  if grep -q '^E:' "$out"; then fail "lintian printed an error line"; fi
}

# The package that holds a file, under whichever of its names (symbolic link or target, with
# or without /usr in front) dpkg recorded it.
owner_of() {
  local name candidates=() resolved pkg
  resolved=$(readlink -f "$1")
  for name in "$1" "$resolved"; do
    candidates+=("$name" "${name#/usr}" "/usr${name}")
  done
  for name in "${candidates[@]}"; do
    pkg=$(dpkg -S "$name" 2>/dev/null || true)
    pkg=$(sed -n '1s/:.*//p' <<<"$pkg")
    [ -n "$pkg" ] && echo "$pkg" && return 0
  done
  return 1
}

case_depends() {
  unpack
  local depends names program lib path pkg cache
  cache=$(ldconfig -p)
  depends=$(dpkg-deb -f "$FRACTAL_DEB" Depends)
  echo "Depends: $depends"
  # Package names alone, one a line.
  names=$(tr ',' '\n' <<<"$depends" | sed -E 's/^ *//; s/[ (:].*//' | sort -u)
  for want in libg20 libx11-6; do
    grep -qx "$want" <<<"$names" || fail "Depends lacks $want"
  done
  # Every library a program needs comes from a package that Depends names.
  for program in fractal-server fractal-client netobj-agent; do
    while read -r lib; do
      path=$(awk -v l="$lib" '$1 == l && /x86-64/ {print $NF; exit}' <<<"$cache")
      [ -n "$path" ] || fail "$program needs $lib, which this host does not have"
      pkg=$(owner_of "$path") || fail "no package owns $path"
      grep -qx "$pkg" <<<"$names" || fail "$program needs $lib of $pkg, not in Depends: $depends"
    done < <(readelf -d "$root/usr/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  done
}

case_contents() {
  unpack
  local listed
  listed=$(dpkg-deb -c "$FRACTAL_DEB" | awk '$1 ~ /^-/ {print $1, $NF}' |
    sed -E 's/^-rwxr-xr-x/755/; s/^-rw-r--r--/644/; s| \./| |' | sort -k2)
  diff <(expected_files | sort -k2) <(echo "$listed") ||
    fail "the package's files differ from the list (< expected, > packaged)"
  if dpkg-deb -c "$FRACTAL_DEB" | awk '$1 !~ /^[-d]/' | grep . >/dev/null; then
    fail "the package holds something that is neither a file nor a directory"
  fi

  local program
  for program in fractal-server fractal-client netobj-agent; do
    is_stripped "$root/usr/bin/$program" || fail "$program is not stripped"
  done
  # The programs under their new names keep their texts: the client's usage line names the
  # program as invoked, the server's its own name.
  local out status
  status=0
  out=$("$root/usr/bin/fractal-client" 2>&1) || status=$?
  [ "$out" = "Usage: $root/usr/bin/fractal-client <host>" ] || fail "client usage: $out"
  [ $status -eq 1 ] || fail "client usage exit status $status"
  status=0
  out=$("$root/usr/bin/fractal-server" -bogus 2>&1) || status=$?
  [ "$out" = "Usage: server [-width #] [-height #] [-crosshairs]" ] || fail "server usage: $out"
  [ $status -eq 1 ] || fail "server usage exit status $status"

  local page name warnings
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    gzip -t "$page" || fail "$page is not a whole gzip file"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warns about $name: $warnings"
    zcat "$page" | grep -x "$name \\\\- .*" >/dev/null || fail "$name's page does not name it"
    zcat "$page" | grep -A1 '^\.SH SYNOPSIS' | grep -x "\.B $name" >/dev/null ||
      fail "$name's synopsis does not use the installed name"
  done

  zcat "$root/usr/share/doc/fractal-renderer/changelog.Debian.gz" | sed -n 1p |
    grep -q "^fractal-renderer ($(dpkg-deb -f "$FRACTAL_DEB" Version)) " ||
    fail "the changelog's newest entry is not the package's version"
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$root/usr/share/doc/fractal-renderer/copyright" || fail "copyright is not machine-readable"
}

case_install() {
  [ -f "$build_dir/CMakeCache.txt" ] || fail "$build_dir is no configured build tree"
  local prefix=$work/prefix listed
  cmake --install "$build_dir" --prefix "$prefix" --strip >"$work/install.log" ||
    fail "cmake --install failed: $(cat "$work/install.log")"
  listed=$(cd "$prefix" && find . -type f -printf '%m %P\n' | sort -k2)
  diff <(expected_files | sed 's| usr/| |' | sort -k2) <(echo "$listed") ||
    fail "the installed files differ from the package's list (< expected, > installed)"
  if (cd "$prefix" && find . ! -type f ! -type d | grep . >/dev/null); then
    fail "the install made something that is neither a file nor a directory"
  fi
  # --strip reaches the renamed programs, and only the installed copies.
  is_stripped "$prefix/bin/fractal-server" || fail "--strip left fractal-server unstripped"
  ! is_stripped "$build_dir/bin/server" || fail "the build tree's server lost its symbols"
  cmp -s "$prefix/libexec/fractal-renderer/fractal-client-pool" \
    "$(dirname "$0")/../../packaging/fractal-client-pool" || fail "the pool script changed on install"
}

# A root for systemd-analyze: the package unpacked over a copy of this host's units, so that
# the targets the units name and their default dependencies resolve. MANPATH points man at
# the package's pages for the Documentation= check.
analysis_root() {
  unpack
  cp -a --no-clobber /lib/systemd/system/. "$root/usr/lib/systemd/system/"
  export MANPATH=$root/usr/share/man
}

# The units to check: the template with an instance.
units=(netobj-agent.service fractal-client@render-host.service)

case_units() {
  analysis_root
  local unit out status
  for unit in "${units[@]}"; do
    status=0
    out=$(systemd-analyze verify --root="$root" "$unit" 2>&1) || status=$?
    echo "systemd-analyze verify $unit: status $status${out:+, }$out"
    [ $status -eq 0 ] || fail "verify $unit: status $status"
    # A bad setting is only a warning to systemd (the line is ignored): any word is a failure.
    [ -z "$out" ] || fail "verify $unit: $out"
  done
  # The commands the units run are in the package.
  local command
  for file in netobj-agent.service fractal-client@.service; do
    command=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$root/usr/lib/systemd/system/$file")
    [ -x "$root$command" ] || fail "$file runs $command, which the package does not hold"
  done
}

case_exposure() {
  analysis_root
  local unit out figure bound
  for unit in "${units[@]}"; do
    out=$(systemd-analyze security --offline=true --root="$root" "$unit" 2>&1) ||
      fail "systemd-analyze security $unit: $out"
    figure=$(sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\) .*/\1/p" <<<"$out")
    [ -n "$figure" ] || fail "no exposure figure for $unit in: $out"
    bound=$(max_exposure "$unit")
    echo "$unit: exposure $figure (at most $bound)"
    awk -v f="$figure" -v b="$bound" 'BEGIN { exit !(f <= b) }' ||
      fail "$unit's exposure rose to $figure from $bound: $(grep '✗' <<<"$out")"
  done
}

case_scripts() {
  local control=$work/control etc script
  dpkg-deb -e "$FRACTAL_DEB" "$control"
  for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || fail "no executable $script"
    sh -n "$control/$script" || fail "$script does not parse"
  done
  # A root of its own with the links "systemctl enable" makes, and a foreign unit's beside them,
  # and group files of its own for groupadd.
  export DPKG_ROOT=$work/root
  mkdir -p "$DPKG_ROOT/etc"
  printf 'root:x:0:\n' >"$DPKG_ROOT/etc/group"
  printf 'root:*::\n' >"$DPKG_ROOT/etc/gshadow"
  local host_before
  host_before=$(host_state)
  etc=$DPKG_ROOT/etc/systemd/system
  mkdir -p "$etc/multi-user.target.wants" "$etc/graphical.target.wants"
  local ours=(multi-user.target.wants/netobj-agent.service
    multi-user.target.wants/fractal-client@render-host.service
    multi-user.target.wants/fractal-client@other-host.service
    graphical.target.wants/fractal-client@render-host.service)
  local theirs=(multi-user.target.wants/ssh.service multi-user.target.wants/fractal-client.service)
  local link
  for link in "${ours[@]}" "${theirs[@]}"; do ln -s /usr/lib/systemd/system/x "$etc/$link"; done
  # With DPKG_ROOT set no script may reach for the running systemd.
  "$control/postinst" configure || fail "postinst configure failed"
  local gid keys=$DPKG_ROOT/etc/netobj
  gid=$(root_gid)
  [ -n "$gid" ] || fail "configure made no group netobj: $(cat "$DPKG_ROOT/etc/group")"
  [ "$gid" -ge 100 ] && [ "$gid" -le 999 ] || fail "netobj has gid $gid, not a system group's"
  grep -qx 'netobj:!::' "$DPKG_ROOT/etc/gshadow" || fail "no locked netobj in gshadow"
  [ -d "$keys" ] && [ ! -L "$keys" ] || fail "configure made no directory /etc/netobj"
  [ "$(stat -c '%a %u %g' "$keys")" = "750 0 $gid" ] ||
    fail "/etc/netobj is $(stat -c '%a %u %g' "$keys"), not 750 root:netobj ($gid)"
  [ -z "$(ls -A "$keys")" ] || fail "configure put something in /etc/netobj: $(ls -A "$keys")"

  # An upgrade's configure makes no second group and leaves the directory as the administrator
  # set it.
  chmod 0710 "$keys"
  "$control/postinst" configure 0.1.0-1 || fail "postinst configure on upgrade failed"
  [ "$(grep -c '^netobj:' "$DPKG_ROOT/etc/group")" = 1 ] || fail "a second group netobj"
  [ "$(root_gid)" = "$gid" ] || fail "the group netobj changed its number on upgrade"
  [ "$(stat -c '%a %u %g' "$keys")" = "710 0 $gid" ] || fail "upgrade reset /etc/netobj"

  "$control/prerm" remove || fail "prerm remove failed"
  "$control/postrm" remove || fail "postrm remove failed"
  for link in "${ours[@]}"; do
    [ ! -L "$etc/$link" ] || fail "removal left $link"
  done
  for link in "${theirs[@]}"; do
    [ -L "$etc/$link" ] || fail "removal took $link, which is not the package's"
  done
  [ -d "$keys" ] || fail "remove (not purge) took /etc/netobj"

  # Purge keeps the administrator's key, and the group that may read it.
  printf 'k%.0s' $(seq 32) >"$keys/cluster.key"
  "$control/postrm" purge || fail "postrm purge failed with a key in /etc/netobj"
  [ -f "$keys/cluster.key" ] || fail "purge took the cluster key"
  rm "$keys/cluster.key"
  "$control/postrm" purge || fail "postrm purge failed on a clean root"
  [ ! -e "$keys" ] || fail "purge left the empty /etc/netobj"
  [ "$(root_gid)" = "$gid" ] || fail "purge took the group netobj"
  "$control/postrm" purge || fail "postrm purge failed a second time"

  [ "$(host_state)" = "$host_before" ] || fail "the scripts changed this host's netobj group or /etc/netobj"
}

# The gid of netobj in the scripts' root.
root_gid() { awk -F: '$1 == "netobj" { print $3 }' "$DPKG_ROOT/etc/group"; }
# This host's group netobj and /etc/netobj, whatever they are.
host_state() {
  getent group netobj || true
  ls -ldn /etc/netobj 2>&1 || true
}

# ---- the client pool ----

# The pool's log: "client N started (pid P)" and "client N (pid P) ended ..." lines.
pool_log=
# The pid of the latest start of client $1, if its latest line is a start.
current_pid() {
  local n=$1
  grep -E "client $n (started|\(pid)" "$pool_log" | tail -n 1 |
    sed -n "s/.*client $n started (pid \([0-9]*\))$/\1/p"
}
has_current_pid() { [ -n "$(current_pid "$1")" ]; }
# Every pid any client ever had.
all_client_pids() { sed -n 's/.*client [0-9]* started (pid \([0-9]*\))$/\1/p' "$pool_log"; }

# True when every one of $count clients runs, and the pool's log has not changed for 1.5 s:
# a client that found no server ends within a fraction of a second.
settled_since=
settled_size=
pool_settled() {
  local size n pid
  size=$(stat -c %s "$pool_log")
  if [ "$size" != "$settled_size" ]; then
    settled_size=$size
    settled_since=$(date +%s%N)
    return 1
  fi
  for n in $(seq "$count"); do
    pid=$(current_pid "$n")
    [ -n "$pid" ] && alive "$pid" || return 1
  done
  [ $(($(date +%s%N) - settled_since)) -ge 1500000000 ]
}

start_server() {
  "$root/usr/bin/fractal-server" >"$work/server.log" 2>&1 &
  server=$!
  pids+=("$server")
  await 100 grep -q "center and zoom out" "$work/server.log" || fail "the server did not start"
}

case_pool() {
  unpack
  local units_dir=$root/usr/lib/systemd/system
  # The commands exactly as the units name them, under the unpacked root.
  local agent_command pool_command
  agent_command=$(sed -n 's/^ExecStart=//p' "$units_dir/netobj-agent.service")
  pool_command=$(sed -n 's/^ExecStart=//p' "$units_dir/fractal-client@.service")
  [[ $pool_command == *" %i" ]] || fail "the client unit does not pass its instance: $pool_command"
  pool_command=${pool_command% %i}

  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  await 100 test -s "$work/display" || fail "Xvfb did not report its display"
  export DISPLAY=":$(head -n 1 "$work/display")"

  local port up=0
  for _ in $(seq 10); do
    port=$((20000 + RANDOM % 30000))
    ss -Hltn "sport = :$port" | grep . >/dev/null && continue
    NETOBJ_AGENT_PORT=$port "$root$agent_command" >"$work/agent.log" 2>&1 &
    pids+=($!)
    if await 50 grep -q "listening on port $port" "$work/agent.log"; then
      up=1
      break
    fi
  done
  [ $up -eq 1 ] || fail "the agent did not start: $(cat "$work/agent.log")"
  export NETOBJ_AGENT_PORT=$port
  start_server

  count=3
  local pause=1
  pool_log=$work/pool.log
  FRACTAL_CLIENTS=$count FRACTAL_CLIENT_PAUSE=$pause "$root$pool_command" localhost \
    >"$pool_log" 2>&1 &
  local pool=$!
  pids+=("$pool")

  await 150 pool_settled || fail "the clients did not settle: $(cat "$pool_log")"
  local n pid
  declare -A seen=()
  for n in $(seq "$count"); do
    pid=$(current_pid "$n")
    [ -z "${seen[$pid]:-}" ] || fail "two clients with pid $pid"
    seen[$pid]=1
    [ "$(readlink -f "/proc/$pid/exe")" = "$root/usr/bin/fractal-client" ] ||
      fail "client $n (pid $pid) is not the package's fractal-client"
    [ "$(ps -o ppid= -p "$pid" | tr -d ' ')" = "$pool" ] || fail "client $n is no child of the pool"
  done

  # A killed client is started again after the pause.
  local victim killed_at restarted_at
  victim=$(current_pid 2)
  killed_at=$(date +%s%N)
  kill -KILL "$victim"
  await 50 grep -q "client 2 (pid $victim) ended with status 137; starting it again in $pause s" \
    "$pool_log" || fail "the pool did not see client 2 end: $(cat "$pool_log")"
  await 50 has_current_pid 2 || fail "client 2 was not started again: $(cat "$pool_log")"
  restarted_at=$(date +%s%N)
  [ $((restarted_at - killed_at)) -ge 900000000 ] ||
    fail "client 2 came back after $(((restarted_at - killed_at) / 1000000)) ms, before the pause"
  await 100 pool_settled || fail "the restarted client did not stay: $(cat "$pool_log")"

  # Every client ends with its server; after a restart of the server all are back with it.
  local before=()
  for n in $(seq "$count"); do before+=("$(current_pid "$n")"); done
  local lines_before
  lines_before=$(wc -l <"$pool_log")
  kill -KILL "$server"
  wait "$server" 2>/dev/null || true
  for pid in "${before[@]}"; do
    await 100 grep -q "(pid $pid) ended with status 1;" "$pool_log" ||
      fail "client pid $pid did not end with the server: $(cat "$pool_log")"
  done
  tail -n +$((lines_before + 1)) "$pool_log" | grep -E '^(Netobj.error|Error: a fractal server is not running)' >/dev/null ||
    fail "the clients' reasons for ending did not reach the pool's output: $(cat "$pool_log")"
  start_server
  settled_size=
  await 200 pool_settled || fail "the clients did not rejoin the restarted server: $(cat "$pool_log")"
  for n in $(seq "$count"); do
    pid=$(current_pid "$n")
    for old in "${before[@]}"; do [ "$pid" != "$old" ] || fail "client $n never ended"; done
  done
  if grep -q 'Requesting work unit' "$pool_log"; then
    fail "the clients' progress lines reached the pool's output"
  fi
  # Nothing but the pool's own lines and the clients' reasons for ending.
  if grep -vE '^(fractal-client-pool: |Netobj.error$|Error: a fractal server is not running)' \
    "$pool_log" | grep . >/dev/null; then
    fail "unexpected lines from the pool: $(cat "$pool_log")"
  fi

  # SIGTERM stops the pool and every process it started.
  local children
  children=$(ps -o pid= --ppid "$pool")
  kill -TERM "$pool"
  local status=0
  await 60 dead "$pool" || fail "the pool did not stop on SIGTERM"
  wait "$pool" || status=$?
  [ $status -eq 0 ] || fail "the pool ended with status $status on SIGTERM"
  for pid in $children $(all_client_pids); do
    await 20 dead "$pid" || fail "process $pid of the pool outlived it"
  done
  grep -q "stopping $count clients" "$pool_log" || fail "the pool did not say it stopped"
  cat "$pool_log"
}

"case_$case_name"
echo "PASS: $case_name"

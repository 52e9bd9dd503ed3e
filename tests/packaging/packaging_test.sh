#!/usr/bin/env bash
# Builds the two Debian packages from a built tree and checks them for real:
# contents, control data and conffiles, lintian (no errors), systemd-analyze
# verify of the units; as root it installs them with dpkg, runs each service
# (with systemctl where systemd runs, otherwise the unit's own command lines
# under its user, capabilities and environment), sees each agent hand-shake
# with a dg-sim, stops it the unit's way, purges both packages and checks
# that nothing of them is left.
#
# Usage: packaging_test.sh <build dir> <source dir>
# Exit status: 0 passed, 1 failed (the first failing check is named on
# stderr), 77 skipped (a line says why).
set -uo pipefail

build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
packages=(vosk-qdr-agent vosk-host-agent)

work=$(mktemp -d /tmp/vk-packaging-test.XXXXXX)
pids=()
installed=0

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
note() { echo "-- $*"; }

cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null || true
  done
  if [ "$installed" -eq 1 ]; then
    if [ -d /run/systemd/system ]; then
      systemctl stop "${packages[@]}" >/dev/null 2>&1 || true
    fi
    dpkg_locked --purge "${packages[@]}" >/dev/null 2>&1 || true
  fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# dpkg with its arguments, waiting (at most 120 s) while another dpkg or apt
# holds the package database's lock.
dpkg_locked() {
  local out rc i
  for i in $(seq 1 120); do
    out=$(dpkg "$@" 2>&1)
    rc=$?
    if [ $rc -eq 0 ] || ! grep -q 'lock' <<<"$out"; then
      printf '%s\n' "$out"
      return $rc
    fi
    sleep 1
  done
  printf '%s\n' "$out"
  return 1
}

# Waits (at most <seconds>) until <command...> succeeds.
wait_for() {
  local seconds=$1 i
  shift
  for i in $(seq 1 $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

for tool in cpack dpkg-deb lintian systemd-analyze python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps.sh installs it)"; exit 77; }
done

# --- build the packages --------------------------------------------------
note "cpack in $work/out"
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack --config $build/CPackConfig.cmake failed"
fi
declare -A deb
for p in "${packages[@]}"; do
  f=$(ls "$work/out/${p}"_*.deb 2>/dev/null | head -n 1)
  [ -n "$f" ] || fail "no package $p in $work/out: $(ls "$work/out")"
  deb[$p]=$f
done

# --- contents and control data -------------------------------------------
# Expected files (path, mode, owner) and conffiles of each package.
declare -A files=(
  [vosk-qdr-agent]="./usr/sbin/qdr-agent -rwxr-xr-x
./etc/vosk-qdr-agent/qdr.conf -rw-r--r--
./etc/vosk-qdr-agent/log.conf -rw-r--r--
./lib/systemd/system/vosk-qdr-agent.service -rw-r--r--
./usr/share/doc/vosk-qdr-agent/copyright -rw-r--r--
./usr/share/doc/vosk-qdr-agent/changelog.gz -rw-r--r--"
  [vosk-host-agent]="./usr/sbin/vosk-host-agent -rwxr-xr-x
./etc/vosk-host-agent/config -rw-r--r--
./etc/default/vosk-host-agent -rw-r--r--
./lib/systemd/system/vosk-host-agent.service -rw-r--r--
./usr/share/doc/vosk-host-agent/copyright -rw-r--r--
./usr/share/doc/vosk-host-agent/changelog.gz -rw-r--r--"
)
declare -A conffiles=(
  [vosk-qdr-agent]="/etc/vosk-qdr-agent/qdr.conf /etc/vosk-qdr-agent/log.conf"
  [vosk-host-agent]="/etc/vosk-host-agent/config /etc/default/vosk-host-agent"
)
for p in "${packages[@]}"; do
  listing=$(dpkg-deb -c "${deb[$p]}") || fail "dpkg-deb -c ${deb[$p]}"
  while read -r path mode; do
    grep -qE "^$mode root/root .* $path\$" <<<"$listing" ||
      fail "$p: $path is missing or not $mode root/root"$'\n'"$listing"
  done <<<"${files[$p]}"
  # Nothing but these and their folders.
  extra=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | grep -vxF -f <(awk '{print $1}' <<<"${files[$p]}"))
  [ -z "$extra" ] || fail "$p holds unexpected files: $extra"
  [ "$(dpkg-deb -f "${deb[$p]}" Package)" = "$p" ] || fail "$p: wrong Package field"
  depends=$(dpkg-deb -f "${deb[$p]}" Depends)
  for d in adduser libc6; do
    grep -q "$d" <<<"$depends" || fail "$p: Depends lacks $d: $depends"
  done
  mkdir -p "$work/ctrl/$p"
  dpkg-deb -e "${deb[$p]}" "$work/ctrl/$p" || fail "dpkg-deb -e ${deb[$p]}"
  for c in ${conffiles[$p]}; do
    grep -qxF "$c" "$work/ctrl/$p/conffiles" || fail "$p: $c is not a conffile"
  done
  for s in postinst prerm postrm; do
    [ -x "$work/ctrl/$p/$s" ] || fail "$p: no executable $s"
    sh -n "$work/ctrl/$p/$s" || fail "$p: $s is not valid sh"
  done
  dpkg-deb -x "${deb[$p]}" "$work/root" || fail "dpkg-deb -x ${deb[$p]}"
done
file "$work/root/usr/sbin/qdr-agent" | grep -q 'stripped' &&
  ! file "$work/root/usr/sbin/qdr-agent" | grep -q 'not stripped' || fail "qdr-agent is not stripped"

# The units: user, restart, capabilities and hardening.
qunit="$work/root/lib/systemd/system/vosk-qdr-agent.service"
hunit="$work/root/lib/systemd/system/vosk-host-agent.service"
for line in "User=vosk-qdr-agent" "Restart=on-failure" "WorkingDirectory=/var/lib/vosk-qdr-agent" \
    "AmbientCapabilities=CAP_NET_RAW CAP_NET_BIND_SERVICE" \
    "CapabilityBoundingSet=CAP_NET_RAW CAP_NET_BIND_SERVICE" "NoNewPrivileges=yes" \
    "ProtectSystem=strict" "ReadWritePaths=/var/lib/vosk-qdr-agent /var/log/vosk-qdr-agent" \
    "PrivateTmp=yes"; do
  grep -qxF "$line" "$qunit" || fail "vosk-qdr-agent.service lacks $line"
done
for line in "User=vosk-host-agent" "Restart=on-failure" "CapabilityBoundingSet=" \
    "NoNewPrivileges=yes" "ProtectSystem=strict" \
    "ReadWritePaths=/var/lib/vosk-host-agent /var/log/vosk-host-agent" "PrivateTmp=yes"; do
  grep -qxF "$line" "$hunit" || fail "vosk-host-agent.service lacks $line"
done

# --- lintian ----------------------------------------------------------------
note "lintian"
lintian --fail-on error "${deb[@]}" >"$work/lintian.log" 2>&1
rc=$?
sed 's/^/   /' "$work/lintian.log"
[ $rc -eq 0 ] || fail "lintian found errors (status $rc)"

# --- systemd-analyze verify -------------------------------------------------
# verify wants the programs at their installed paths: before installation
# only the complaints about the two missing programs are allowed.
verify_units() {
  local out
  out=$(systemd-analyze verify --man=no "$@" 2>&1)
  local unexpected
  unexpected=$(grep -v -e 'Command /usr/sbin/qdr-agent is not executable' \
    -e 'Command /usr/sbin/vosk-host-agent is not executable' <<<"$out" | grep -v '^$')
  if [ -n "$unexpected" ]; then
    printf '%s\n' "$out" >&2
    return 1
  fi
  return 0
}
note "systemd-analyze verify"
verify_units "$qunit" "$hunit" || fail "systemd-analyze verify found faults in the units"

# --- install, run, stop, purge ------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP (install part): not root, so the packages were not installed with dpkg -i"
  exit 0
fi
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
    echo "SKIP (install part): $p is installed on this machine already; the test does not replace it"
    exit 0
  fi
  if getent passwd "$p" >/dev/null; then
    echo "SKIP (install part): user $p exists although $p is not installed"
    exit 0
  fi
done

note "dpkg -i"
installed=1
dpkg_locked -i "${deb[@]}" >"$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log" >&2; fail "dpkg -i failed"; }
for p in "${packages[@]}"; do
  getent passwd "$p" >/dev/null || fail "postinst made no user $p"
  shell=$(getent passwd "$p" | cut -d: -f7)
  [ "$shell" = /usr/sbin/nologin ] || fail "user $p has the shell $shell"
done
for d in /var/lib/vosk-qdr-agent /var/lib/vosk-qdr-agent/data /var/lib/vosk-qdr-agent/mibs \
    /var/log/vosk-qdr-agent; do
  [ "$(stat -c '%U:%G %a' "$d" 2>/dev/null)" = "vosk-qdr-agent:vosk-qdr-agent 750" ] ||
    fail "$d is not a folder of vosk-qdr-agent with mode 750: $(stat -c '%U:%G %a' "$d" 2>&1)"
done
for d in /var/lib/vosk-host-agent /var/lib/vosk-host-agent/host /var/lib/vosk-host-agent/host/data \
    /var/log/vosk-host-agent; do
  [ "$(stat -c '%U:%G %a' "$d" 2>/dev/null)" = "vosk-host-agent:vosk-host-agent 750" ] ||
    fail "$d is not a folder of vosk-host-agent with mode 750: $(stat -c '%U:%G %a' "$d" 2>&1)"
done
[ "$(readlink /var/lib/vosk-host-agent/host/data/config)" = /etc/vosk-host-agent/config ] ||
  fail "the host agent's data/config is not a link to /etc/vosk-host-agent/config"
note "systemd-analyze verify (installed units)"
verify_units /lib/systemd/system/vosk-qdr-agent.service /lib/systemd/system/vosk-host-agent.service ||
  fail "systemd-analyze verify found faults in the installed units"

# A stand-in collector per agent on a free loopback port: start_sim <name>
# sets sim_port. Its output goes to files, not to this script's pipes.
start_sim() {
  local name=$1
  "$build/tools/dg-sim/dg-sim" --listen 127.0.0.1 --port 0 --port-file "$work/$name.port" \
    --out "$work/$name.jsonl" --quiet >/dev/null 2>"$work/$name.err" &
  pids+=($!)
  wait_for 30 test -s "$work/$name.port" || { cat "$work/$name.err" >&2; fail "dg-sim ($name) did not start"; }
  sim_port=$(cat "$work/$name.port")
}
handshaken() { grep '"dir": "recv"' "$1" 2>/dev/null | grep -q '"type": 10043,'; }

# A free UDP port on 127.0.0.1 for the receivers, so that the test does not
# take 514 and 162 from anyone.
free_udp_port() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_sim qdr
qport=$sim_port
start_sim host
hport=$sim_port
# Point the agents at the collectors as an administrator would.
sed -i "s/^receiver_ip=.*/receiver_ip=127.0.0.1\nreceiver_port=$qport\nsyslog_port=$(free_udp_port)\nsnmptrap_port=$(free_udp_port)/" \
  /etc/vosk-qdr-agent/qdr.conf
sed -i "s/^RECEIVER_ADDR=.*/RECEIVER_ADDR=127.0.0.1:$hport/" /etc/default/vosk-host-agent

qlog=/var/log/vosk-qdr-agent/qdr-agent.log
hlog=/var/log/vosk-host-agent/vosk-host-agent.log
if [ -d /run/systemd/system ]; then
  note "systemctl start"
  systemctl daemon-reload
  for p in "${packages[@]}"; do
    systemctl restart "$p" || fail "systemctl restart $p"
  done
  wait_for 180 handshaken "$work/qdr.jsonl" || fail "vosk-qdr-agent (systemd) did not hand-shake with dg-sim on $qport"
  wait_for 180 handshaken "$work/host.jsonl" || fail "vosk-host-agent (systemd) did not hand-shake with dg-sim on $hport"
  for p in "${packages[@]}"; do
    systemctl is-active --quiet "$p" || fail "$p is not active after its handshake"
    systemctl stop "$p" || fail "systemctl stop $p"
    [ "$(systemctl show -p ActiveState --value "$p")" = inactive ] ||
      fail "$p is $(systemctl show -p ActiveState --value "$p") after systemctl stop"
    result=$(systemctl show -p Result --value "$p")
    [ "$result" = success ] || fail "$p stopped with result $result"
  done
else
  echo "SKIP (systemctl part): systemd is not running here (no /run/systemd/system); each unit's" \
    "ExecStartPre/ExecStart/ExecStop run instead under its User=, Environment=, WorkingDirectory=, capabilities and UMask="
  # The value of key <key> in <unit>, with systemd's "$$" turned into "$".
  unit_value() { sed -n "s/^$2=//p" "$1" | sed 's/\$\$/$/g'; }
  # Replaces the calling (sub)shell by <command line> run as the unit's user,
  # with its capabilities, environment and file-creation mask:
  # run_as_unit <unit> <command line> [VAR=value...]
  run_as_unit() {
    local unit=$1 cmd=$2
    shift 2
    local user caps env=() file line
    user=$(unit_value "$unit" User)
    caps=$(unit_value "$unit" AmbientCapabilities | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
    for line in $(unit_value "$unit" Environment); do env+=("$line"); done
    file=$(unit_value "$unit" EnvironmentFile | sed 's/^-//')
    if [ -n "$file" ] && [ -f "$file" ]; then
      while read -r line; do env+=("$line"); done < <(grep -E '^[A-Z_]+=' "$file")
    fi
    local capargs=(--inh-caps=-all --bounding-set=-all)
    if [ -n "$caps" ]; then
      capargs=(--inh-caps="$caps" --ambient-caps="$caps" --bounding-set=-all,"$caps")
    fi
    cd "$(unit_value "$unit" WorkingDirectory)" || return 1
    umask "$(unit_value "$unit" UMask)"
    exec setpriv --reuid="$user" --regid="$user" --init-groups "${capargs[@]}" --no-new-privs -- \
      env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env[@]}" "$@" /bin/sh -c "exec $cmd"
  }
  for p in "${packages[@]}"; do
    unit=/lib/systemd/system/$p.service
    pre=$(unit_value "$unit" ExecStartPre)
    if [ -n "$pre" ]; then
      (run_as_unit "$unit" "$pre") || fail "$p: ExecStartPre failed: $pre"
    fi
    run_as_unit "$unit" "$(unit_value "$unit" ExecStart)" >"$work/$p.out" 2>&1 &
    pids+=($!)
    eval "pid_${p//-/_}=$!"
  done
  wait_for 180 handshaken "$work/qdr.jsonl" ||
    { cat "$work/vosk-qdr-agent.out" >&2; tail -n 40 "$qlog" >&2 2>/dev/null
      fail "vosk-qdr-agent did not hand-shake with dg-sim on 127.0.0.1:$qport"; }
  wait_for 180 handshaken "$work/host.jsonl" ||
    { cat "$work/vosk-host-agent.out" >&2; tail -n 40 "$hlog" >&2 2>/dev/null
      fail "vosk-host-agent did not hand-shake with dg-sim on 127.0.0.1:$hport"; }
  # The agents run as their users, with only the unit's capabilities.
  for p in "${packages[@]}"; do
    v="pid_${p//-/_}"
    pid=${!v}
    [ "$(stat -c %U /proc/$pid)" = "$p" ] || fail "$p runs as $(stat -c %U /proc/$pid)"
    [ "$(readlink /proc/$pid/cwd)" = "/var/lib/$p" ] || fail "$p works in $(readlink /proc/$pid/cwd)"
  done
  grep -q '^CapEff:[[:space:]]*0000000000002400$' /proc/$pid_vosk_qdr_agent/status ||
    fail "qdr-agent has not exactly CAP_NET_RAW and CAP_NET_BIND_SERVICE: $(grep Cap /proc/$pid_vosk_qdr_agent/status)"
  grep -q '^CapEff:[[:space:]]*0000000000000000$' /proc/$pid_vosk_host_agent/status ||
    fail "vosk-host-agent holds capabilities: $(grep Cap /proc/$pid_vosk_host_agent/status)"

  # Stop each the unit's way: qdr-agent by its ExecStop (pid file deleted,
  # wait for the main loop to end), the host agent by SIGTERM. Both must end
  # by themselves with status 0 within their own limits (1 s and 3 s; 20 s
  # allowed on a busy machine) and say so in their logs.
  stop=$(unit_value /lib/systemd/system/vosk-qdr-agent.service ExecStop | sed "s/\$MAINPID/$pid_vosk_qdr_agent/")
  (run_as_unit /lib/systemd/system/vosk-qdr-agent.service "$stop") || fail "vosk-qdr-agent: ExecStop failed: $stop"
  wait_for 20 bash -c "! kill -0 $pid_vosk_qdr_agent 2>/dev/null" || fail "qdr-agent still runs after its ExecStop"
  wait "$pid_vosk_qdr_agent"
  rc=$?
  [ $rc -eq 0 ] || { cat "$work/vosk-qdr-agent.out" >&2; fail "qdr-agent ended with status $rc after its ExecStop"; }
  kill -TERM "$pid_vosk_host_agent"
  wait_for 20 bash -c "! kill -0 $pid_vosk_host_agent 2>/dev/null" ||
    fail "vosk-host-agent still runs 20 s after SIGTERM"
  wait "$pid_vosk_host_agent"
  rc=$?
  [ $rc -eq 0 ] || { cat "$work/vosk-host-agent.out" >&2; fail "vosk-host-agent ended with status $rc after SIGTERM"; }
fi
grep -q 'qdr-agent process stopped' "$qlog" || fail "$qlog does not say 'qdr-agent process stopped'"
grep -q 'SIGTERM sig caught' "$hlog" || fail "$hlog does not say 'SIGTERM sig caught'"
[ "$(stat -c %U "$qlog")" = vosk-qdr-agent ] || fail "$qlog is not the agent's"
[ "$(stat -c %a "$hlog")" = 640 ] || [ "$(stat -c %a "$hlog")" = 660 ] ||
  fail "$hlog has mode $(stat -c %a "$hlog"): other users may read it"

# --- purge --------------------------------------------------------------------
note "dpkg --purge"
dpkg_locked --purge "${packages[@]}" >"$work/dpkg-purge.log" 2>&1 ||
  { cat "$work/dpkg-purge.log" >&2; fail "dpkg --purge failed"; }
installed=0
left=()
for path in /etc/vosk-qdr-agent /etc/vosk-host-agent /etc/default/vosk-host-agent \
    /var/lib/vosk-qdr-agent /var/lib/vosk-host-agent /var/log/vosk-qdr-agent /var/log/vosk-host-agent \
    /usr/sbin/qdr-agent /usr/sbin/vosk-host-agent /usr/share/doc/vosk-qdr-agent \
    /usr/share/doc/vosk-host-agent /lib/systemd/system/vosk-qdr-agent.service \
    /lib/systemd/system/vosk-host-agent.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done
while read -r path; do left+=("$path"); done < <(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
  /var/lib/systemd/deb-systemd-helper-masked -name 'vosk-*' 2>/dev/null)
for p in "${packages[@]}"; do
  getent passwd "$p" >/dev/null && left+=("user $p")
  getent group "$p" >/dev/null && left+=("group $p")
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)
  if [ -n "$status" ] && [[ "$status" != *not-installed ]]; then left+=("dpkg status '$status' of $p"); fi
done
[ ${#left[@]} -eq 0 ] || fail "left after purge: ${left[*]}"
note "passed"
exit 0

#!/usr/bin/env bash
# Boots a real systemd in a Debian 12 root (systemd-nspawn) and walks an
# administrator's path with the Debian package: install, configure it on the
# simulated board, enable, switch as root, as a member of the group tarnwick
# and as an outsider, reload with a good and a broken configuration, restart
# and kill -9 with a pulse running, the watchdog, a reboot, a reinstall and an
# upgrade while running, remove while running, purge. Each step prints
# "step | expected | observed"; any mismatch fails the script.
#
# Usage: check-systemd.sh [PACKAGE.deb] (default: the one scripts/package.sh
# builds). Needs root. The root's tarball is cached in
# /var/cache/tarnwick-tests (TARNWICK_TEST_CACHE), keyed by its package list.
# Skips, saying why, only when not run as root; as root a container that
# cannot be made or booted fails the walk: an untested package would pass.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

started=$SECONDS
say() { echo "check-systemd: $*"; }
skip() {
    say "SKIPPED: $*"
    exit 0
}
fail() {
    say "FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "needs root (mmdebstrap, systemd-nspawn)"
tarnwick_install >&2
for tool in mmdebstrap systemd-nspawn nsenter dpkg-deb; do
    command -v "$tool" >/dev/null || fail "no $tool"
done

deb=${1:-$(bash "$tarnwick_root/scripts/package.sh")}
[ -f "$deb" ] || fail "no package $deb"
version=$(dpkg-deb -f "$deb" Version)

# The root: systemd, the bus, and every dependency of the package already in
# it, since the container has no network.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' |
    sed -e 's/|.*//' -e 's/(.*)//' -e 's/:any//' -e 's/[[:space:]]//g' | sed '/^$/d')
include=$(printf '%s\n' systemd systemd-sysv dbus passwd procps $depends | sort -u | paste -sd, -)
suite=bookworm
mirrors=("deb http://deb.debian.org/debian $suite main"
    "deb http://deb.debian.org/debian $suite-updates main"
    "deb http://deb.debian.org/debian-security $suite-security main")
cache=${TARNWICK_TEST_CACHE:-/var/cache/tarnwick-tests}
key=$(printf '%s\n' "$suite" "$include" "${mirrors[@]}" | sha256sum | cut -c1-16)
tarball=$cache/debian-$suite-$key.tar
mkdir -p "$cache"
if [ ! -f "$tarball" ]; then
    say "making $tarball (once; with: $include)"
    t=$SECONDS
    rm -f "$cache"/debian-"$suite"-*.tar  # roots of other package lists
    # mmdebstrap tells a tarball from a directory by the name's ending.
    part=$cache/partial-$key.tar
    mmdebstrap --quiet --variant=apt --include="$include" "$suite" "$part" "${mirrors[@]}" ||
        { rm -f "$part"; fail "mmdebstrap could not make the root (no mirror?)"; }
    mv "$part" "$tarball"
    say "mmdebstrap: $((SECONDS - t)) s"
fi

work=$(mktemp -d /var/tmp/tarnwick-systemd.XXXXXX)
root=$work/root
machine=tarnwick-walk
nspawn_pid=
leader=
shutdown_container() {
    [ -n "$nspawn_pid" ] || return 0
    if kill -0 "$nspawn_pid" 2>/dev/null && [ -n "$leader" ]; then
        nsenter -t "$leader" -a systemctl poweroff >/dev/null 2>&1 || true
        for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    fi
    if kill -0 "$nspawn_pid" 2>/dev/null; then
        kill "$nspawn_pid" 2>/dev/null || true  # nspawn asks its systemd to halt
        for _ in $(seq 50); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
        kill -9 "$nspawn_pid" 2>/dev/null || true
    fi
    wait "$nspawn_pid" 2>/dev/null || true
    nspawn_pid= leader=
}
cleanup() {
    shutdown_container
    rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -m 755 "$root"
tar -xf "$tarball" -C "$root"
cp "$deb" "$root/var/tmp/tarnwick.deb"

# The upgrade: the same package with a higher version and a changed unit.
dpkg-deb -R "$deb" "$work/upgrade"
sed -i "s/^Version: .*/Version: $version+walk1/" "$work/upgrade/DEBIAN/control"
unit=usr/lib/systemd/system/tarnwickd.service
echo "# upgraded" >>"$work/upgrade/$unit"
(cd "$work/upgrade" && sed -i "s|^[0-9a-f]*  $unit\$|$(md5sum "$unit")|" DEBIAN/md5sums)
dpkg-deb --root-owner-group -b "$work/upgrade" "$root/var/tmp/tarnwick-upgrade.deb" >/dev/null

# boot: start the container and wait for its systemd to finish starting up.
# Its journal stays in the root; the console goes to $work/console.log.
boot() {
    # Unified cgroups inside, and bpf() for systemd's device filter, so that
    # the unit's DevicePolicy= is enforced as on a real machine.
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --quiet -b -D "$root" --machine="$machine" \
        --register=no --keep-unit --private-network --console=read-only \
        --capability=CAP_BPF,CAP_PERFMON --system-call-filter=bpf \
        >>"$work/console.log" 2>&1 </dev/null &
    nspawn_pid=$!
    local state=
    for _ in $(seq 150); do
        leader=$(pgrep -P "$nspawn_pid" | head -n1 || true)
        if [ -n "$leader" ]; then
            state=$(ct systemctl is-system-running 2>/dev/null || true)
            case $state in running | degraded) return 0 ;; esac
        fi
        kill -0 "$nspawn_pid" 2>/dev/null || break
        sleep 0.2
    done
    return 1
}
# ct COMMAND...: run COMMAND in the container, as root, with a clean environment.
ct() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
cts() { ct sh -c "$1"; }

t=$SECONDS
if ! boot; then
    tail -n 20 "$work/console.log" >&2
    fail "systemd-nspawn could not boot a container here (console above)"
fi
say "booted $suite in $((SECONDS - t)) s"
walk_started=$SECONDS

mismatches=0
printf '%-52s | %-30s | %s\n' step expected observed
printf '%s\n' "$(printf -- '-%.0s' $(seq 110))"
# row STEP EXPECTED OBSERVED: one line of the table; a mismatch is counted.
row() {
    local mark=
    if [ "$2" != "$3" ]; then
        mark="   <-- MISMATCH"
        mismatches=$((mismatches + 1))
    fi
    printf '%-52s | %-30s | %s%s\n' "$1" "$2" "$3" "$mark"
}
# until_true SECONDS COMMAND...: COMMAND, every 0.2 s until it succeeds.
until_true() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < end)) || return 1
        sleep 0.2
    done
}
yes_no() { if "$@" >/dev/null 2>&1; then echo yes; else echo no; fi; }

bus=org.tarnwick.Tarnwick1
line_path=/org/tarnwick/Tarnwick1/line/walk
board=$line_path/board/1
main_pid() { ct systemctl show -P MainPID tarnwickd; }
prop() { ct busctl get-property "$bus" "$1" "$2" "$3" 2>/dev/null || true; }
# The relays as the bus says, nothing while the board does not answer.
relays() { [ "$(prop "$board" $bus.Board Online)" = "b true" ] && prop "$board" $bus.Board Relays | sed 's/^q //'; }
# relay_on N, relay_off N: as the bus says; false when it cannot say.
relay_on() {
    local r
    r=$(relays)
    [ -n "$r" ] && ((r & (1 << ($1 - 1))))
}
relay_off() {
    local r
    r=$(relays)
    [ -n "$r" ] && (((r & (1 << ($1 - 1))) == 0))
}
# board_on N, board_off N: as the simulated board itself last reported it.
board_relays() { ct journalctl -q -o cat -u tarnwick-sim | sed -n 's/^relays \(0x[0-9a-fA-F]*\)$/\1/p' | tail -n1; }
board_on() {
    local r
    r=$(board_relays)
    [ -n "$r" ] && ((r & (1 << ($1 - 1))))
}
board_off() {
    local r
    r=$(board_relays)
    [ -n "$r" ] && (((r & (1 << ($1 - 1))) == 0))
}
online() { [ "$(prop "$board" $bus.Board Online)" = "b true" ]; }
line_open() { [ "$(prop "$line_path" $bus.Line Open)" = "b true" ]; }
# switch USER RELAY true|false, USER - for root
switch() {
    local as=()
    [ "$1" = - ] || as=(runuser -u "$1" --)
    ct "${as[@]}" busctl call "$bus" "$board" $bus.Board Switch yb "$2" "$3"
}
journal_since() { ct journalctl -q -o cat -u tarnwickd --since "@$1"; }
# The simulated board, as its own user under /run where the service sees it.
start_sim() {
    ct systemd-run --quiet --unit=tarnwick-sim --uid=tarnwick --gid=tarnwick \
        -p RuntimeDirectory=tarnwick-sim tarnwick-board-sim --link /run/tarnwick-sim/board &&
        until_true 10 ct test -L /run/tarnwick-sim/board
}
config='[line walk]
device=/run/tarnwick-sim/board
boards=1
pace=tick'
write_config() { printf '%s\n' "$1" | ct sh -c 'mkdir -p /etc/tarnwick && cat >/etc/tarnwick/tarnwickd.conf'; }

# Without a working device filter the rows below would prove nothing about
# the unit's DevicePolicy=.
status=0
ct systemd-run --quiet --wait -p DevicePolicy=strict true >/dev/null 2>&1 || status=$?
row "device filter: DevicePolicy=strict, no /dev/null" "refused" "$( ((status)) && echo refused || echo allowed)"

# Install: in place, not started, not enabled.
out=$(ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /var/tmp/tarnwick.deb 2>&1) ||
    echo "$out" | tail -n 20
row "apt-get install ./tarnwick.deb" "$version inactive disabled" \
    "$(ct dpkg-query -W -f='${Version}' tarnwick 2>/dev/null) $(ct systemctl is-active tarnwickd) $(ct systemctl is-enabled tarnwickd)"

start_sim || true
row "simulator as user tarnwick (systemd-run)" "/run/tarnwick-sim/board" \
    "$(ct sh -c 'ls /run/tarnwick-sim/board' 2>&1)"
write_config "$config"
status=0
ct tarnwickd --check >/dev/null 2>&1 || status=$?
row "tarnwickd --check" "exit 0" "exit $status"

status=0
ct systemctl enable --now tarnwickd >/dev/null 2>&1 || status=$?
until_true 10 online || true
row "systemctl enable --now tarnwickd" "exit 0, active, board online" \
    "exit $status, $(ct systemctl is-active tarnwickd), board $(online && echo online || echo offline)"

# Who may switch: root and the group tarnwick; anyone may read.
cts 'useradd -m member && usermod -aG tarnwick member && useradd -m outsider'
status=0
switch - 3 true >/dev/null 2>&1 || status=$?
row "root: Switch 3 on" "exit 0, relay 3 on" "exit $status, relay 3 $(relay_on 3 && echo on || echo off)"
status=0
switch member 4 true >/dev/null 2>&1 || status=$?
row "group member (runuser -u member): Switch 4 on" "exit 0, relay 4 on" \
    "exit $status, relay 4 $(relay_on 4 && echo on || echo off)"
out=$(switch outsider 5 true 2>&1 || true)
case $out in *"Access denied"* | *AccessDenied*) refused=AccessDenied ;; *) refused="not refused: $out" ;; esac
row "outsider: Switch 5 on" "AccessDenied" "$refused"
row "outsider: read Relays" "q 12" \
    "$(ct runuser -u outsider -- busctl get-property $bus $board $bus.Board Relays 2>&1)"

# Reload: a good configuration adds a line; a broken one is refused.
pid=$(main_pid)
t=$(date +%s)
write_config "$config
[line spare]
device=/run/tarnwick-sim/none
boards=2"
status=0
ct systemctl reload tarnwickd >/dev/null 2>&1 || status=$?
until_true 10 ct busctl introspect $bus /org/tarnwick/Tarnwick1/line/spare || true
row "systemctl reload, a line added" "exit 0, same PID, line spare" \
    "exit $status, $([ "$(main_pid)" = "$pid" ] && echo same || echo other) PID, $(ct busctl tree --list $bus 2>/dev/null | grep -q '/line/spare$' && echo line spare || echo no line spare)"
t=$(date +%s)
write_config "$config
[line spare]
device=/run/tarnwick-sim/none
boards=300"
status=0
ct systemctl reload tarnwickd >/dev/null 2>&1 || status=$?
refused() { journal_since "$t" | grep -q 'run on as before'; }
until_true 10 refused || true
row "systemctl reload, a broken configuration" "exit 0, same PID, active" \
    "exit $status, $([ "$(main_pid)" = "$pid" ] && echo same || echo other) PID, $(ct systemctl is-active tarnwickd)"
why=$(journal_since "$t" | grep -m1 'run on as before' || true)
row "  the journal says why" "names boards=300" "$(case $why in *boards*300*) echo names boards=300 ;; *) echo "${why:-nothing}" ;; esac)"
say "  journal: $why"

# A start with the broken configuration fails at once, without retries.
t=$(date +%s)
ct systemctl restart tarnwickd >/dev/null 2>&1 || true
sleep 2
row "restart with the broken configuration" "failed, status 2, 0 restarts" \
    "$(ct systemctl is-active tarnwickd), status $(ct systemctl show -P ExecMainStatus tarnwickd), $(ct systemctl show -P NRestarts tarnwickd) restarts"
write_config "$config"
ct systemctl reset-failed tarnwickd || true
ct systemctl start tarnwickd || true
until_true 10 online || true
row "fixed and started" "active, board online" \
    "$(ct systemctl is-active tarnwickd), board $(online && echo online || echo offline)"

# A pulse still ends when the service restarts or is killed meanwhile.
pulse_then() {  # pulse_then WHAT: a 3 s pulse of relay 3, then WHAT to the service
    switch - 3 false >/dev/null 2>&1 || true
    pid=$(main_pid)
    ct busctl call $bus $board $bus.Board Pulse yd 3 3.0 >/dev/null 2>&1 || true
    local on
    until_true 2 board_on 3 || true
    on=$(board_on 3 && echo on || echo off)
    case $1 in
        restart) ct systemctl restart tarnwickd || true ;;
        kill) ct kill -9 "$pid" || true ;;
    esac
    until_true 15 line_open || true
    local open
    open=$(line_open && echo open || echo closed)
    # The OFF is due 3 s after the ON; a restart may cost a tick or two.
    until_true 8 board_off 3 || true
    until_true 2 relay_off 3 || true
    echo "$on, then $(board_off 3 && echo off || echo on) at the board, $(relay_off 3 && echo off || echo "not off") on the bus, line $open, $([ "$(main_pid)" != "$pid" ] && echo new || echo same) PID"
}
expected="on, then off at the board, off on the bus, line open, new PID"
row "Pulse 3 for 3 s, systemctl restart" "$expected" "$(pulse_then restart)"
sleep 2  # starts spaced: the start limit is 5 in 10 s
row "Pulse 3 for 3 s, kill -9 the main PID" "$expected" "$(pulse_then kill)"
row "  after kill -9" "active, 1 restart" \
    "$(ct systemctl is-active tarnwickd), $(ct systemctl show -P NRestarts tarnwickd) restart"

# The watchdog: a stopped service is killed and started again.
sleep 2
cts 'mkdir -p /run/systemd/system/tarnwickd.service.d &&
    printf "[Service]\nWatchdogSec=2\n" >/run/systemd/system/tarnwickd.service.d/watchdog.conf &&
    systemctl daemon-reload && systemctl restart tarnwickd'
until_true 10 online || true
pid=$(main_pid)
t=$(date +%s)
ct kill -STOP "$pid" || true
restarted() { [ "$(main_pid)" != "$pid" ] && [ "$(ct systemctl is-active tarnwickd)" = active ]; }
until_true 20 restarted || true
row "kill -STOP the main PID (WatchdogSec=2)" "new PID, active, watchdog in journal" \
    "$([ "$(main_pid)" != "$pid" ] && echo new || echo same) PID, $(ct systemctl is-active tarnwickd), watchdog $(ct journalctl -q -u tarnwickd --since "@$t" | grep -qi 'watchdog timeout' && echo in || echo not in) journal"
cts 'rm -r /run/systemd/system/tarnwickd.service.d && systemctl daemon-reload'
until_true 10 online || true

# A reboot: the enabled service starts at boot, and finds the board once it is there.
shutdown_container
if ! boot; then
    row "reboot" "booted" "did not boot"
    fail "the container did not boot again"
fi
row "reboot: the service started at boot" "active enabled" \
    "$(ct systemctl is-active tarnwickd) $(ct systemctl is-enabled tarnwickd)"
start_sim || true
until_true 15 online || true
row "  the simulator started after it" "board online" "board $(online && echo online || echo offline)"

# A reinstall and an upgrade while running: the new program runs, the new unit is loaded.
after_install() {
    echo "$(ct dpkg-query -W -f='${Version}' tarnwick 2>/dev/null), $([ "$(main_pid)" != "$pid" ] && echo new || echo same) PID, $(ct systemctl is-active tarnwickd), NeedDaemonReload=$(ct systemctl show -P NeedDaemonReload tarnwickd), $(ct readlink /proc/"$(main_pid)"/exe)"
}
pid=$(main_pid)
ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall /var/tmp/tarnwick.deb >/dev/null 2>&1 || true
until_true 10 online || true
row "apt-get install --reinstall, running" "$version, new PID, active, NeedDaemonReload=no, /usr/sbin/tarnwickd" "$(after_install)"
sleep 2
pid=$(main_pid)
ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /var/tmp/tarnwick-upgrade.deb >/dev/null 2>&1 || true
until_true 10 online || true
row "upgrade to $version+walk1 (a changed unit), running" "$version+walk1, new PID, active, NeedDaemonReload=no, /usr/sbin/tarnwickd" "$(after_install)"
row "  still enabled" "enabled" "$(ct systemctl is-enabled tarnwickd 2>&1)"
ct systemctl stop tarnwickd || true
ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall /var/tmp/tarnwick-upgrade.deb >/dev/null 2>&1 || true
row "apt-get install --reinstall, stopped" "inactive" "$(ct systemctl is-active tarnwickd)"
ct systemctl start tarnwickd || true
until_true 10 online || true

# Remove while running: nothing runs on, the bus name is free.
ct env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tarnwick >/dev/null 2>&1 || true
row "apt-get remove, running" "no tarnwickd, bus name free" \
    "$(ct pgrep -x tarnwickd >/dev/null && echo tarnwickd runs || echo no tarnwickd), bus name $(ct busctl status $bus >/dev/null 2>&1 && echo taken || echo free)"
row "  the unit" "not-found inactive" \
    "$(ct systemctl show -P LoadState tarnwickd) $(ct systemctl show -P ActiveState tarnwickd)"

# Purge: nothing of the package left but its user and the administrator's /etc/tarnwick.
ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tarnwick >/dev/null 2>&1 || true
row "apt-get purge: dpkg -L tarnwick" "nothing" "$(ct dpkg -L tarnwick >/dev/null 2>&1 && echo files listed || echo nothing)"
row "  enable links in /etc/systemd/system/*.wants" "none" \
    "$(cts 'ls /etc/systemd/system/*.wants/tarnwickd.service 2>/dev/null' || echo none)"
row "  /var/lib/tarnwick" "gone" "$(ct test -e /var/lib/tarnwick && echo there || echo gone)"
row "  systemctl list-unit-files tarnwickd.service" "0 unit files listed." \
    "$(ct systemctl list-unit-files tarnwickd.service 2>&1 | tail -n1)"
row "  the unit" "not-found" "$(ct systemctl show -P LoadState tarnwickd)"
row "  kept: user tarnwick, /etc/tarnwick/tarnwickd.conf" "yes yes" \
    "$(yes_no ct getent passwd tarnwick) $(yes_no ct test -f /etc/tarnwick/tarnwickd.conf)"

if ((mismatches)); then
    say "the service's journal, last 40 lines:"
    ct journalctl -q -u tarnwickd -n 40 --no-pager || true
fi
shutdown_container
took="the walk $((SECONDS - walk_started)) s, all $((SECONDS - started)) s"
((mismatches == 0)) || fail "$mismatches step(s) not as expected ($took)"
say "ok: every step as expected ($took)"

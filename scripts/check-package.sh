#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get, validates what it put in
# place, starts the installed panel offscreen as an unprivileged user (nobody
# when run as root) with fresh homes, and checks where the name file goes: a
# first start, a start seeded by an administrator's copy, and a read-only
# home. Removes the package again whatever happened, and checks that nothing
# of it is left behind.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}
ok() { echo "check-package: ok: $*"; }

deb=$(bash "$tarnwick_root/scripts/package.sh")
echo "check-package: $deb, $(stat -c %s "$deb") bytes"
if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "ok installed"; then
    fail "tarnwick is installed already; remove it first (apt-get purge tarnwick)"
fi

work=$(mktemp -d /tmp/tarnwick-check.XXXXXX)
chmod 755 "$work"
cleanup() {
    "${sudo[@]}" apt-get purge -y -qq tarnwick >/dev/null 2>&1 || true
    chmod -R u+rwx "$work" 2>/dev/null || true
    "${sudo[@]}" rm -rf "$work"
}
trap cleanup EXIT

# apt reads a local package as its own user: give it a copy it can reach.
cp "$deb" "$work/"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "$work/$(basename "$deb")" \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; }
mapfile -t installed < <(dpkg -L tarnwick)
ok "installed: $(dpkg-query -W -f='${Package} ${Version}, Depends: ${Depends}' tarnwick)"

desktop-file-validate /usr/share/applications/org.tarnwick.Tarnwick.desktop ||
    fail "desktop-file-validate"
ok "desktop-file-validate passes"
appstreamcli validate --no-net /usr/share/metainfo/org.tarnwick.Tarnwick.metainfo.xml ||
    fail "appstreamcli validate"
lint=0
lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || lint=$?
grep -v "running with root privileges" "$work/lintian.txt" || true
[ "$lint" -eq 0 ] || fail "lintian reports errors or warnings"
ok "lintian: no error, no warning"

# The user the panel runs as, and its environment: nothing of ours but a home.
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(runuser -u nobody --)
user_dir() {  # a directory the panel's user owns
    mkdir -p "$1"
    [ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$1"
    return 0
}
# run_panel CASE [VAR=VALUE...]: one start of the installed panel, offscreen,
# with $work/CASE/home as home; its messages land in $work/CASE/messages.
run_panel() {
    local name=$1 case=$work/$1
    shift
    user_dir "$case/runtime"
    chmod 700 "$case/runtime"
    timeout 60 "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$case/home" \
        XDG_RUNTIME_DIR="$case/runtime" QT_QPA_PLATFORM=offscreen \
        TARNWICK_START_CHECK="$case/runtime/messages" "$@" tarnwick ||
        fail "$name: the panel ended with status $?"
    touch "$case/runtime/messages"
    cp "$case/runtime/messages" "$case/messages"
}

[ "$("${as_user[@]}" env -i PATH=/usr/bin:/bin tarnwick --version)" = "tarnwick $(dpkg-query -W -f='${Version}' tarnwick)" ] ||
    fail "tarnwick --version"
user_dir "$work/help/home"
"${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$work/help/home" tarnwick --help >"$work/help.txt" ||
    fail "tarnwick --help"
grep -q "Name file: $work/help/home/.config/tarnwick/name.txt" "$work/help.txt" ||
    fail "tarnwick --help does not name the per-user file"
status=0
"${as_user[@]}" env -i PATH=/usr/bin:/bin tarnwick --no-such-option 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown option ended with $status, not 2"
ok "--version, --help (names the per-user file) and an unknown option (status 2) without a display"

# tarnwick-ctl from the package: its help names the exit statuses; against the
# installed simulated board it switches a relay and has it confirmed, refuses
# a bad channel with 2 and a device that is not there with 3.
[ "$("${as_user[@]}" env -i PATH=/usr/bin:/bin tarnwick-ctl --version)" = "tarnwick-ctl $(dpkg-query -W -f='${Version}' tarnwick)" ] ||
    fail "tarnwick-ctl --version"
"${as_user[@]}" env -i PATH=/usr/bin:/bin tarnwick-ctl --help >"$work/ctl-help.txt" || fail "tarnwick-ctl --help"
grep -q "5  the board answered but did not confirm" "$work/ctl-help.txt" ||
    fail "tarnwick-ctl --help does not list the exit statuses"
grep -q "serve --mqtt HOST\[:PORT\] --node NODE" "$work/ctl-help.txt" ||
    fail "tarnwick-ctl --help does not show serve"
user_dir "$work/ctl"
user_dir "$work/ctl/home"
ctl() {
    "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$work/ctl/home" tarnwick-ctl "$@" >>"$work/ctl/out" 2>&1
}
"${as_user[@]}" env -i PATH=/usr/bin:/bin tarnwick-board-sim --link "$work/ctl/board" >"$work/ctl/sim" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$work/ctl/board" ] && break; sleep 0.1; done
status=0
ctl -p "$work/ctl/board" on 3 || status=$?
[ "$status" -eq 0 ] || fail "tarnwick-ctl on 3 ended with $status: $(cat "$work/ctl/out")"
grep -q "relays 0x0004" "$work/ctl/sim" || fail "the board's relay 3 was not switched: $(cat "$work/ctl/sim")"
status=0
ctl -p "$work/ctl/board" on 17 || status=$?
[ "$status" -eq 2 ] || fail "tarnwick-ctl on 17 ended with $status, not 2"
status=0
ctl -p "$work/ctl/none" status || status=$?
[ "$status" -eq 3 ] || fail "tarnwick-ctl on a missing device ended with $status, not 3"
kill "$sim"
wait "$sim" || true
[ ! -e "$work/ctl/home/.config/tarnwick/name.txt" ] || fail "tarnwick-ctl created a name file by reading names"
ok "tarnwick-ctl: --version, --help; on 3 confirmed by the installed simulated board (0), channel 17 (2), a missing device (3)"

# tarnwickd: installed with its unit, user and group made by the maintainer
# scripts, the unit silent under systemd-analyze verify, the example
# configuration passing --check, and nothing started without a configuration.
[ "$(tarnwickd --version)" = "tarnwickd $(dpkg-query -W -f='${Version}' tarnwick)" ] ||
    fail "tarnwickd --version"
getent passwd tarnwick >/dev/null || fail "no user tarnwick after install"
getent group tarnwick >/dev/null || fail "no group tarnwick after install"
unit=/lib/systemd/system/tarnwickd.service
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify is not silent: $verify"
tarnwickd --check --config /usr/share/doc/tarnwick/examples/tarnwickd.conf >/dev/null 2>&1 ||
    fail "the example configuration does not pass --check"
[ ! -e /etc/tarnwick/tarnwickd.conf ] || fail "the package put a configuration in place"
grep -qx "ConditionPathExists=/etc/tarnwick/tarnwickd.conf" "$unit" || fail "the unit waits for no configuration"
if [ -d /run/systemd/system ]; then
    ! systemctl is-active --quiet tarnwickd || fail "tarnwickd runs without a configuration"
fi
ok "tarnwickd: --version, user and group tarnwick, the unit verified, the example checked, not running unconfigured"

# The file a first start writes, built here from its layout: the title, then
# 256 sections of 16 names, GBK, CR LF.
{
    printf '[软件属性]\r\n名称=Tarnwick\r\n'
    for a in $(seq 0 255); do
        printf '[地址码%d]\r\n' "$a"
        for c in $(seq 1 16); do printf '第%d路名称=第%d路\r\n' "$c" "$c"; done
    done
} | iconv -f UTF-8 -t GBK >"$work/defaults.txt"

# A first start: the per-user file with the default bytes, the two messages.
user_dir "$work/first/home"
run_panel first
file=$work/first/home/.config/tarnwick/name.txt
cmp -s "$file" "$work/defaults.txt" || fail "first start: $file does not hold the defaults"
printf 'File Not Found\t%s not found.\nTarnwick\t名称文件被创建。\n' "$file" |
    cmp -s - "$work/first/messages" || fail "first start: messages: $(cat "$work/first/messages")"
[ ! -e /usr/bin/name.txt ] || fail "first start: a name file beside the installed program"
ok "first start: $file with the default bytes ($(stat -c %s "$file")), the two first-start messages"

# An administrator's copy under $XDG_CONFIG_DIRS: copied byte for byte, no message.
mkdir -p "$work/seeded/etc/tarnwick"
{
    printf '; cabinet 7\n'
    sed 's/=Tarnwick\r$/=Cabinet 7\r/' "$work/defaults.txt"
} >"$work/seeded/etc/tarnwick/name.txt"
user_dir "$work/seeded/home"
run_panel seeded XDG_CONFIG_DIRS="$work/seeded/none:$work/seeded/etc"
cmp -s "$work/seeded/etc/tarnwick/name.txt" "$work/seeded/home/.config/tarnwick/name.txt" ||
    fail "seeded start: the per-user file is not a byte-identical copy"
[ ! -s "$work/seeded/messages" ] || fail "seeded start: messages: $(cat "$work/seeded/messages")"
ok "seeded start: a byte-identical copy of \$XDG_CONFIG_DIRS/tarnwick/name.txt, no message"

# A read-only home: one message naming the file and the reason, nothing written.
user_dir "$work/readonly/home"
chmod 555 "$work/readonly/home"
run_panel readonly
file=$work/readonly/home/.config/tarnwick/name.txt
[ "$(wc -l <"$work/readonly/messages")" -eq 1 ] ||
    fail "read-only home: not one message: $(cat "$work/readonly/messages")"
grep -q "$file.*Permission denied" "$work/readonly/messages" ||
    fail "read-only home: the message lacks the path or the reason: $(cat "$work/readonly/messages")"
! grep -q "名称文件被创建" "$work/readonly/messages" || fail "read-only home: claims the file was created"
[ -z "$(ls -A "$work/readonly/home")" ] || fail "read-only home: something was written into it"
ok "read-only home: one message ($(cut -f2 "$work/readonly/messages")), no file"

DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq tarnwick >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get purge"; }
! dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "ok installed" || fail "still installed"
for path in "${installed[@]}"; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "left behind after removal: $path"
done
[ ! -e /usr/share/doc/tarnwick ] || fail "left behind after removal: /usr/share/doc/tarnwick"
ok "removed: none of its ${#installed[@]} paths left"

#!/bin/sh
# The unit file from the source tree: systemd-analyze verify says nothing, and
# the offline security exposure is at most 2.0 (printed). Its program is the
# build's, as the installed one may not be there.
set -eu
unit=$1 program=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|@CMAKE_INSTALL_FULL_SBINDIR@/tarnwickd|$program|" "$unit" >"$dir/tarnwickd.service"
# The page is installed with the package; here it is not yet.
out=$(systemd-analyze verify --man=no "$dir/tarnwickd.service" 2>&1) || { echo "$out"; exit 1; }
[ -z "$out" ] || { echo "systemd-analyze verify is not silent: $out"; exit 1; }
score=$(systemd-analyze security --offline=true --no-pager "$dir/tarnwickd.service" 2>&1 |
    sed -n 's/.*Overall exposure level for tarnwickd.service: \([0-9.]*\).*/\1/p')
echo "exposure: $score"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'

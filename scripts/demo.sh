#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated board and the panel
# with port 1 mapped to it. Closing the panel stops the board too.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tarnwick_install
tarnwick_build build -DTARNWICK_TESTS=OFF

link=$(mktemp -u /tmp/tarnwick-board.XXXXXX)
"$tarnwick_root/build/tarnwick-board-sim" --address 1 --link "$link" --relays 0x00f0 &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -f "$link"' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: starting the panel under Xvfb on :99 (set DISPLAY to use your own)." >&2
    Xvfb :99 -screen 0 1024x768x24 >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $sim $xvfb 2>/dev/null || true; rm -f "$link"' EXIT
    export DISPLAY=:99
    sleep 1
fi
TARNWICK_COM1="$link" "$tarnwick_root/build/tarnwick"

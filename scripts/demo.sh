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

panel=("$tarnwick_root/build/tarnwick")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: the panel runs under Xvfb (set DISPLAY to see it on your own)." >&2
    panel=(xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "${panel[@]}")
fi
echo "Board on $link, mapped to port 1 (TARNWICK_COM1). Click 打开串口 to start polling." >&2
TARNWICK_COM1="$link" "${panel[@]}"

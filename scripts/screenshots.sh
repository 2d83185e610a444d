#!/usr/bin/env bash
# Renders docs/main-polling.png, docs/main-closed.png, docs/name-dialog.png,
# docs/main-long-names.png, the link aids' pictures and docs/line-overview*.png
# under Xvfb at 96 dpi.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tarnwick_install
tarnwick_build build -DTARNWICK_TESTS=ON
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" env QT_QPA_PLATFORM=xcb \
    "$tarnwick_root/build/tools/tarnwick-screenshots" "$tarnwick_root/docs"

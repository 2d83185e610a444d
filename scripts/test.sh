#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: once as
# built, once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tarnwick_install

tarnwick_build build -DTARNWICK_TESTS=ON
(cd "$tarnwick_root/build" && ctest --output-on-failure --timeout 300)

tarnwick_build build-asan -DTARNWICK_TESTS=ON -DTARNWICK_SANITIZE=ON
export LSAN_OPTIONS="suppressions=$tarnwick_root/tests/lsan.supp:print_suppressions=0"
(cd "$tarnwick_root/build-asan" && ctest --output-on-failure --timeout 300 -LE bench)

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

# A short fuzzing pass, 25 s per target (at most 2 million inputs each); an
# input that crashes a target fails the run.
bash "$tarnwick_root/scripts/fuzz.sh" -t 25 -n 2000000

# A minute of random faults, restarts and clicks against the real panel, then
# a shorter run under valgrind for leaks in our code. Both print figures and
# fail only on a crash, a hang, a panel that does not recover, or a leak.
bash "$tarnwick_root/scripts/soak.sh" 60
bash "$tarnwick_root/scripts/soak.sh" --leaks 20

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite in stages:
# the tests as built, again under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short fuzzing pass, the soak, the Debian
# package installed and started as an unprivileged user, and the package's
# service under a real systemd in a container. Ends with one line:
# every stage passed, or which ones failed. Exits 1 when any did.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

build_and_test() {
    tarnwick_build build -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON
    # Most tests wait on the line or the broker rather than the CPU: three at
    # a time. The benchmarks then run alone, so their figures mean something.
    (cd "$tarnwick_root/build" && ctest --output-on-failure --timeout 300 -j3 -LE bench &&
        ctest --output-on-failure --timeout 300 -L bench)
}

sanitized() {
    tarnwick_build build-asan -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON -DTARNWICK_SANITIZE=ON
    export LSAN_OPTIONS="suppressions=$tarnwick_root/tests/lsan.supp:print_suppressions=0"
    (cd "$tarnwick_root/build-asan" && ctest --output-on-failure --timeout 300 -j3 -LE bench)
}

# 15 s per target (at most 2 million inputs each); an input that crashes a
# target fails the stage.
fuzz() { bash "$tarnwick_root/scripts/fuzz.sh" -t 15 -n 2000000; }

# 45 s of random faults, restarts and clicks against the real panel, then
# a shorter run under valgrind for leaks in our code. Both print figures and
# fail only on a crash, a hang, a panel that does not recover, or a leak.
soak() {
    bash "$tarnwick_root/scripts/soak.sh" 45
    bash "$tarnwick_root/scripts/soak.sh" --leaks 20
}

package() { bash "$tarnwick_root/scripts/check-package.sh"; }

# The package under a real systemd booted in a Debian root: an
# administrator's path from install to purge.
systemd_walk() { bash "$tarnwick_root/scripts/check-systemd.sh"; }

stages=(build_and_test sanitized fuzz soak package systemd_walk)
passed=()
failed=()
start=$SECONDS
tarnwick_install
for stage in "${stages[@]}"; do
    echo "== stage $stage"
    stage_start=$SECONDS
    # Each stage in a subshell of its own with errexit, so that its first
    # failing command ends it and the next stage still runs. Not as the
    # left side of || , where bash would ignore errexit inside it.
    set +e
    (set -e; "$stage")
    status=$?
    set -e
    took=$((SECONDS - stage_start))
    if ((status == 0)); then
        passed+=("$stage")
        echo "== stage $stage passed (${took} s)"
    else
        failed+=("$stage (exit $status)")
        echo "== stage $stage FAILED with status $status (${took} s)"
    fi
done

took=$((SECONDS - start))
duration="$((took / 60)) min $((took % 60)) s"
if ((${#failed[@]} == 0)); then
    echo "test.sh: all ${#stages[@]} stages passed (${stages[*]}) in $duration"
else
    failed_list=$(printf '%s, ' "${failed[@]}")
    echo "test.sh: FAILED: ${failed_list%, }; passed: ${passed[*]:-none}; $duration"
    exit 1
fi

#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ and runs each of them.
#
#   bash scripts/fuzz.sh -t SECONDS [-n INPUTS] [TARGET...]
#   bash scripts/fuzz.sh -n INPUTS [TARGET...]
#
# -t stops each target after SECONDS, -n after INPUTS inputs, whichever comes
# first. Targets: reception_fuzz, modbus_reception_fuzz, profile_fuzz, profile_engine_fuzz,
# serve_fuzz (default: all). Each starts from its seeds in
# fuzz/corpus/<target without _fuzz>/ (profile_engine_fuzz shares profile/,
# its input form) and from what earlier runs kept in
# build-fuzz/corpus/<target>. An input that breaks an invariant or trips a
# sanitizer lands in build-fuzz/crashes/; the script then exits 1.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

seconds=
inputs=
while getopts "t:n:" opt; do
    case $opt in
        t) seconds=$OPTARG ;;
        n) inputs=$OPTARG ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ -z "$seconds$inputs" ]; then
    echo "usage: $0 -t SECONDS [-n INPUTS] [TARGET...] | -n INPUTS [TARGET...]" >&2
    exit 2
fi
targets=("$@")
((${#targets[@]})) || targets=(reception_fuzz modbus_reception_fuzz profile_fuzz profile_engine_fuzz serve_fuzz)

tarnwick_install
build="$tarnwick_root/build-fuzz"
tarnwick_configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTARNWICK_FUZZ=ON -DTARNWICK_TESTS=OFF -DTARNWICK_WERROR=ON
cmake --build "$build" -j2 --target "${targets[@]}"

limits=()
[ -z "$seconds" ] || limits+=(-max_total_time="$seconds")
[ -z "$inputs" ] || limits+=(-runs="$inputs")
# A smaller quarantine than ASan's 256 MB: the machine is shared, and
# use-after-free of the last few MB of frees is still caught.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=0
mkdir -p "$build/crashes" "$build/logs"
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    seeds=${target%_fuzz}
    [ "$seeds" != profile_engine ] || seeds=profile
    log="$build/logs/$target.log"
    mkdir -p "$corpus"
    before=$(find "$build/crashes" -name "$target-*" | wc -l)
    start=$SECONDS
    status=0
    "$build/fuzz/$target" "${limits[@]}" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$target-" \
        "$corpus" "$tarnwick_root/fuzz/corpus/$seeds" >"$log" 2>&1 || status=$?
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    crashes=$(($(find "$build/crashes" -name "$target-*" | wc -l) - before))
    ((status == 0)) || ((crashes > 0)) || crashes=1  # died without leaving an input
    echo "== $target: ${executed:-?} inputs executed in $((SECONDS - start)) s," \
        "$crashes crashes, corpus $(find "$corpus" -type f | wc -l) inputs"
    if ((crashes > 0)); then
        failed=1
        grep -E -A1 "invariant broken" "$log" | head -2 || true
        grep -E "^SUMMARY|runtime error|Test unit written" "$log" | head -4 || true
        echo "   full log: $log"
    fi
done
exit $failed

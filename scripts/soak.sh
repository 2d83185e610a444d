#!/usr/bin/env bash
# Soak: the real panel, offscreen, against simulated boards restarted with
# random faults, killed under the open port and clicked at random, for a given
# time; prints the figures. Fails on a crash, a hang, a panel that does not
# recover at the end, and with --leaks on a leak in our code.
#
#   bash scripts/soak.sh SECONDS [SEED]          # figures
#   bash scripts/soak.sh --leaks SECONDS [SEED]  # under valgrind memcheck: leak summary
#
# Builds into build/ unless TARNWICK_BUILD_DIR names another directory.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

leaks=0
if [ "${1:-}" = --leaks ]; then
    leaks=1
    shift
fi
seconds=${1:-60}
seed=${2:-$(date +%s)}
dir=$tarnwick_root/${TARNWICK_BUILD_DIR:-build}

tarnwick_install
tarnwick_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON
cmake --build "$dir" -j2 --target soak tarnwick-board-sim >/dev/null

# A run that outlives its time by two minutes (ten under valgrind) hangs.
run=(timeout --signal=KILL "$((seconds + (leaks ? 600 : 120)))")
if ((leaks)); then
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    run+=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect
          --num-callers=40 --log-file="$log" "$dir/bench/soak" "$seconds" --seed "$seed" --slow)
else
    run+=("$dir/bench/soak" "$seconds" --seed "$seed")
fi

status=0
"${run[@]}" || status=$?
if ((status == 137)); then
    echo "soak: HANG, killed after $((seconds + (leaks ? 600 : 120))) s (seed $seed)" >&2
    exit 1
elif ((status > 128)); then
    echo "soak: CRASH, signal $((status - 128)) (seed $seed)" >&2
    exit 1
elif ((status != 0)); then
    echo "soak: FAILED, exit $status (seed $seed)" >&2
    exit 1
fi

if ((leaks)); then
    sed -n '/LEAK SUMMARY/,/suppressed:/p' "$log" | sed 's/^==[0-9]*== //'
    # A loss record is ours when a frame of its stack is in our code: a
    # tarnwick:: function, or a line of one of our source files (the system's
    # libraries come without line numbers).
    files=$(cd "$tarnwick_root" && find protocol wire engine panel names ui sim bench tests \
        -name '*.cpp' -o -name '*.h' | xargs -n1 basename | sort -u | sed 's/\./\\./' | paste -sd'|')
    ours=$(ours_re="tarnwick::|[(](${files}):[0-9]+[)]" awk '
        BEGIN { re = ENVIRON["ours_re"] }
        function judge() { if (rec ~ /lost in loss record/ && rec ~ re) n++; rec = "" }
        /^==[0-9]+== *$/ { judge(); next }
        { rec = rec "\n" $0 }
        END { judge(); print n + 0 }' "$log")
    echo "leak records in our code: $ours"
    if ((ours > 0)); then
        awk '/lost in loss record/,/^==[0-9]+== *$/' "$log" | sed 's/^==[0-9]*== //' >&2
        exit 1
    fi
fi

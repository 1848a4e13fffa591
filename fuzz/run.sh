#!/bin/sh
# Fuzzes targets one after the other, each for a given time, at low priority:
#   fuzz/run.sh <fuzz build directory> <seconds per target> [target ...]
# (all targets when none is named). Each target starts from its checked-in
# corpus and regression cases and from what earlier runs found, kept in
# <build>/fuzz-work/<target>/corpus; findings land in
# <build>/fuzz-work/<target>/findings/. The checked-in corpus is only read:
# to take new inputs into it, merge them into a minimal set by hand
# (libFuzzer -merge=1), and keep every finding as a regression case.
set -eu
build=$(cd "$1" && pwd)
seconds=$2
shift 2
src=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || set -- $(cd "$src/corpus" && ls)

status=0
for t in "$@"; do
    work=$build/fuzz-work/$t
    mkdir -p "$work/corpus" "$work/findings" "$src/regressions/$t"
    dict=
    [ -f "$src/$t.dict" ] && dict=-dict=$src/$t.dict
    log=$work/$(date +%Y%m%d-%H%M%S).log
    echo "== $t: ${seconds}s, log $log"
    # shellcheck disable=SC2086
    if ! nice -n 10 "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$work/findings/" $dict \
        "$work/corpus" "$src/corpus/$t" "$src/regressions/$t" > "$log" 2>&1; then
        status=1
        echo "   FINDING: see $log and $work/findings/"
    fi
    # The last coverage line and the final counts.
    grep -E '^#[0-9]+' "$log" | tail -1 | sed 's/^/   /'
    grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$log" | sed 's/^/   /'
done
exit $status

#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR: first it replays the target's regression inputs
# (tests/fuzz/regressions/<target>/), then it fuzzes the target for SECONDS from its seeds
# (tests/fuzz/corpus/<target>/) and from the inputs earlier runs found (BUILD_DIR/corpus/<target>/,
# which a longer run by hand keeps growing). Any crash, leak, timeout or memory blow-up fails the
# run, and its input is copied to tests/fuzz/regressions/<target>/ to be replayed from then on.
#
# usage: run_fuzz.sh BUILD_DIR SECONDS
set -uo pipefail

build=${1:?usage: run_fuzz.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run_fuzz.sh BUILD_DIR SECONDS}
fuzz_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

shopt -s nullglob
targets=("$build"/fuzz_*)
if [ "${#targets[@]}" -eq 0 ]; then
    echo "fuzz: no targets in $build" >&2
    exit 1
fi

failed=()
for bin in "${targets[@]}"; do
    [ -x "$bin" ] || continue
    name=${bin##*/fuzz_}
    seeds="$fuzz_dir/corpus/$name"
    regressions="$fuzz_dir/regressions/$name"
    work="$build/corpus/$name"
    findings="$build/findings/$name"
    log="$build/logs/$name.log"
    mkdir -p "$work" "$findings" "$build/logs"
    if [ ! -d "$seeds" ]; then
        echo "fuzz: $name has no seed directory $seeds" >&2
        failed+=("$name")
        continue
    fi

    inputs=("$regressions"/*)
    if [ "${#inputs[@]}" -gt 0 ]; then
        if "$bin" -runs=1 "${inputs[@]}" >"$log.replay" 2>&1; then
            echo "fuzz: $name: ${#inputs[@]} regression inputs replayed"
        else
            echo "fuzz: $name: a regression input fails again:" >&2
            tail -n 40 "$log.replay" >&2
            failed+=("$name")
            continue
        fi
    fi

    # Findings of earlier runs were copied already; start this run's list afresh.
    rm -f "$findings"/*
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$work" "$seeds" >"$log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    coverage=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1 |
        sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    found=("$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-*)
    if [ "$status" -eq 0 ] && [ "${#found[@]}" -eq 0 ]; then
        echo "fuzz: $name: ${runs:-?} inputs in ${seconds}s, coverage ${coverage:-?}, no findings"
        continue
    fi
    echo "fuzz: $name: FINDING after ${runs:-?} inputs (exit $status):" >&2
    grep -E 'ERROR|SUMMARY|fuzz check failed|runtime error' "$log" | head -n 10 >&2
    tail -n 30 "$log" >&2
    mkdir -p "$regressions"
    for input in "${found[@]}"; do
        cp "$input" "$regressions/"
        echo "fuzz: kept $regressions/${input##*/} as a regression input" >&2
    done
    failed+=("$name")
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz: findings or failures in: ${failed[*]} (logs in $build/logs)" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets, no findings"

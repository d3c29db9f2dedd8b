#!/usr/bin/env bash
# Runs every libFuzzer program of a TABFLIP_FUZZ build for a bounded time:
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS_EACH
# The committed seed corpus is only read; new inputs go to BUILD_DIR/fuzz-work.
# On a crash the reproducer is printed (od and base64) and the script fails;
# replay it with BUILD_DIR/fuzz/NAME_fuzzer FILE.
set -euo pipefail
build=$1
seconds=$2
source_dir=$(cd "$(dirname "$0")" && pwd)
for target in load_table charset writers; do
    work=$build/fuzz-work/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    echo "== fuzzing $target for ${seconds}s"
    if ! "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=60 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" "$source_dir/corpus/$target" >"$work/log" 2>&1; then
        tail -n 40 "$work/log"
        for reproducer in "$work/artifacts"/*; do
            [ -f "$reproducer" ] || continue
            echo "-- reproducer $reproducer:"
            od -A d -c "$reproducer" | head -n 40
            base64 "$reproducer"
        done
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$work/log" || true
done

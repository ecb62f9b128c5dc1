#!/bin/sh
# Runs every fuzz target for a bounded time: sh fuzz/run.sh BUILD_DIR SECONDS
# Seeds come from fuzz/corpus/<target>/ and are only read; the inputs a run
# finds and any crash go to a temporary folder, kept (and named) when a
# target fails, removed otherwise. Exits non-zero on any finding.
set -u
build=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-fuzz.XXXXXX")
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
failed=""
for target in envelope_decode_fuzz receive_path_fuzz line_splitter_fuzz; do
    dir="$work/$target"
    mkdir -p "$dir/corpus" "$dir/crash"
    # Inputs are kept small: every envelope costs one key derivation (~3 ms),
    # and the line splitter makes its long lines out of short descriptions.
    if "$build/$target" -max_total_time="$seconds" -max_len=4096 -len_control=0 -timeout=60 \
        -print_final_stats=1 -artifact_prefix="$dir/crash/" \
        "$dir/corpus" "$here/corpus/$target" >"$dir/log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log")
        echo "$target: clean, $runs runs, $rate exec/s"
    else
        tail -n 60 "$dir/log"
        echo "$target: FINDING; input and log in $dir"
        failed="$failed $target"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz findings:$failed (kept in $work)"
    exit 1
fi
rm -rf "$work"

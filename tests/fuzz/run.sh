#!/usr/bin/env bash
# tests/fuzz/run.sh BUILD_DIR LIBFUZZER_BUDGET...
# Runs every fuzz target built in BUILD_DIR/fuzz from its seed corpus, with the budget given
# (e.g. -max_total_time=20 or -runs=1000000). A crash, a leak, a hang over 10 s or memory over
# 512 MiB fails the target; its input is kept in BUILD_DIR/fuzz-artifacts/. Prints one line per
# target and, last, "FUZZ <targets> targets, <executions> executions, <crashes> crashes".
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
shift
budget=("$@")

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$here/../sanitizers/lsan.supp:print_suppressions=0"

targets=0
executions=0
crashes=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    seeds="$here/corpus/$name"
    work="$build/fuzz-corpus/$name"
    artifacts="$build/fuzz-artifacts/$name/"
    log="$build/fuzz-logs/$name.log"
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"
    status=0
    "$target" -rss_limit_mb=512 -malloc_limit_mb=512 -timeout=10 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$artifacts" "${budget[@]}" "$work" "$seeds" >"$log" 2>&1 || status=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    runs="${runs:-0}"
    targets=$((targets + 1))
    executions=$((executions + runs))
    if [ "$status" -ne 0 ]; then
        crashes=$((crashes + 1))
        echo "fuzz: $name FAILED after $runs executions (exit $status), input in $artifacts:"
        grep -E "ERROR|SUMMARY|Test unit written|==[0-9]+==" "$log" | head -n 20 || true
    else
        echo "fuzz: $name ok, $runs executions"
    fi
done
if [ "$targets" -eq 0 ]; then
    echo "fuzz: no targets in $build/fuzz" >&2
    exit 1
fi
echo "fuzz: $((targets - crashes)) passed, $crashes failed"
echo "FUZZ $targets targets, $executions executions, $crashes crashes"
[ "$crashes" -eq 0 ]

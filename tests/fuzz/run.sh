#!/usr/bin/env bash
# tests/fuzz/run.sh BUILD_DIR LIBFUZZER_BUDGET...
# Runs every fuzz target built in BUILD_DIR/fuzz from its seed corpus, with the budget given
# (e.g. -max_total_time=20 or -runs=1000000), FUZZ_JOBS targets at a time (default 1). A crash,
# a leak, a hang over 10 s or memory over 512 MiB fails the target; its input is kept in
# BUILD_DIR/fuzz-artifacts/. Prints one line per target and, last,
# "FUZZ <targets> targets, <executions> executions, <crashes> crashes".
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
shift
budget=("$@")
jobs="${FUZZ_JOBS:-1}"

# The 512 MiB bound below is for the code under test: AddressSanitizer's quarantine of freed
# blocks (256 MiB by default, and more in fragments) filled it in a fast target's millionth run.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0:allocator_may_return_null=0:quarantine_size_mb=64"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$here/../sanitizers/lsan.supp:print_suppressions=0"

results="$build/fuzz-results"
rm -rf "$results"
mkdir -p "$results"

# One target; its verdict goes to fuzz-results/<name> as "<status> <executions>".
# Leaks are looked for when the target ends (LeakSanitizer at exit fails the run) rather than
# after every input that grows memory: the targets' Qt caches grow on most inputs, and a leak
# scan of the whole process each time costs five times the fuzzing.
run_target() {
    local target="$1" name status=0 runs
    name="$(basename "$target")"
    local seeds="$here/corpus/$name"
    local work="$build/fuzz-corpus/$name"
    local artifacts="$build/fuzz-artifacts/$name/"
    local log="$build/fuzz-logs/$name.log"
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"
    "$target" -rss_limit_mb=512 -malloc_limit_mb=512 -timeout=10 -max_len=65536 -print_final_stats=1 \
        -detect_leaks=0 -artifact_prefix="$artifacts" "${budget[@]}" "$work" "$seeds" >"$log" 2>&1 || status=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    echo "$status ${runs:-0}" >"$results/$name"
    if [ "$status" -ne 0 ]; then
        {
            echo "fuzz: $name FAILED after ${runs:-0} executions (exit $status), input in $artifacts:"
            grep -E "ERROR|SUMMARY|Test unit written|==[0-9]+==" "$log" | head -n 20 || true
        } >"$results/$name.report"
    else
        echo "fuzz: $name ok, ${runs:-0} executions" >"$results/$name.report"
    fi
    cat "$results/$name.report"
}

# The slowest targets first, so that with several jobs the long runs overlap the short ones.
ordered=()
for name in fuzz_zip fuzz_httpconnection fuzz_cookiestore fuzz_config; do
    [ -x "$build/fuzz/$name" ] && ordered+=("$build/fuzz/$name")
done
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    case " ${ordered[*]} " in *" $target "*) continue ;; esac
    ordered+=("$target")
done
if [ "${#ordered[@]}" -eq 0 ]; then
    echo "fuzz: no targets in $build/fuzz" >&2
    exit 1
fi

running=0
for target in "${ordered[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
wait || true

targets=0
executions=0
crashes=0
for target in "${ordered[@]}"; do
    name="$(basename "$target")"
    targets=$((targets + 1))
    if [ ! -f "$results/$name" ]; then
        crashes=$((crashes + 1))
        echo "fuzz: $name gave no result"
        continue
    fi
    read -r status runs <"$results/$name"
    executions=$((executions + runs))
    [ "$status" -eq 0 ] || crashes=$((crashes + 1))
done
echo "fuzz: $((targets - crashes)) passed, $crashes failed"
echo "FUZZ $targets targets, $executions executions, $crashes crashes"
[ "$crashes" -eq 0 ]

#!/usr/bin/env bash
# Time from process start to the first page's load-finished: Kavo.V5 (its own server, splash,
# bridge) against kavo-bareloader, a plain view of the build's engine loading the same page from
# the same server (kavo-httpd over the same build output). Offscreen, several rounds, medians.
# Last line: RATIO <kavo / bare>.
set -euo pipefail

build=${1:-build}
bin=$(realpath "$build/bin")
bare=$(realpath "$build/bench/kavo-bareloader")
httpd=$(realpath "$build/bench/kavo-httpd")
rounds=${ROUNDS:-5}
url=http://localhost:58899/data/Demo/index.html
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
export QT_QPA_PLATFORM=offscreen KAVO_NONINTERACTIVE=1 KAVO_TRACE_STARTUP=1
export HOME=$work XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache XDG_CONFIG_HOME=$work/config

now_ms() { date +%s%3N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

run_kavo() {
    local start log=$work/kavo.log
    start=$(now_ms)
    "$bin/Kavo.V5" 2>"$log" & pid=$!
    for _ in $(seq 1 300); do grep -q '^KAVO_STARTUP loaded' "$log" && break; sleep 0.02; done
    local end
    end=$(awk '/^KAVO_STARTUP loaded/ {print $4; exit}' "$log")
    kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""
    [ -n "$end" ] || { echo "startup: Kavo.V5 never loaded" >&2; cat "$log" >&2; exit 1; }
    echo $((end - start))
}

run_bare() {
    "$httpd" --root "$bin" --port 58899 >/dev/null 2>&1 & pid=$!
    for _ in $(seq 1 100); do curl -sf -o /dev/null "$url" && break; sleep 0.05; done
    local start end
    start=$(now_ms)
    end=$("$bare" "$url" 2>/dev/null | awk '/^BARE loaded/ {print $3}')
    kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""
    [ -n "$end" ] || { echo "startup: bare loader never loaded" >&2; exit 1; }
    echo $((end - start))
}

echo "startup: $rounds rounds each, page $url"
kavo_times=() bare_times=()
for round in $(seq 1 "$rounds"); do
    b=$(run_bare); k=$(run_kavo)
    echo "round $round: kavo ${k} ms, bare ${b} ms"
    kavo_times+=("$k"); bare_times+=("$b")
done
k=$(printf '%s\n' "${kavo_times[@]}" | median)
b=$(printf '%s\n' "${bare_times[@]}" | median)
echo "median: kavo ${k} ms, bare ${b} ms"
echo "RATIO $(awk -v k="$k" -v b="$b" 'BEGIN {printf "%.2f", k / b}')"

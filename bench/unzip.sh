#!/usr/bin/env bash
# Unpacking time of kavo-unzip against unzip -q on one generated archive of about 2000 files
# and 200 MiB. Last line: unzip time / kavo time (median of the rounds).
set -euo pipefail

build=${1:-build}
tool=$(realpath "$build/bench/kavo-unzip")
rounds=${ROUNDS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "unzip: generating the archive in $work"
python3 - "$work/src" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
total = 0
for i in range(2000):
    d = os.path.join(root, "d%02d" % (i % 40), "s%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    size = random.choice([512, 4096, 20000, 60000, 200000]) if i % 50 else 2_500_000
    # half compressible text, half random bytes
    data = (b"kavo line %d\n" % i) * (size // 12) if i % 2 else os.urandom(size)
    open(os.path.join(d, "f%04d.bin" % i), "wb").write(data)
    total += len(data)
print("unzip: %d MiB in 2000 files" % (total >> 20))
PY
(cd "$work/src" && zip -q -r "$work/a.zip" .)

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timeit() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN {printf "%.3f\n", e - s}'; }

kavo_times=() unzip_times=()
for r in $(seq "$rounds"); do
    rm -rf "$work/k" "$work/u"
    kavo_times+=("$(timeit "$tool" "$work/a.zip" "$work/k")")
    unzip_times+=("$(timeit unzip -q "$work/a.zip" -d "$work/u")")
    echo "round $r: kavo ${kavo_times[-1]} s, unzip ${unzip_times[-1]} s"
done
diff -r "$work/k" "$work/u" >/dev/null && echo "unzip: outputs are identical"
k=$(printf '%s\n' "${kavo_times[@]}" | median)
u=$(printf '%s\n' "${unzip_times[@]}" | median)
echo "median: kavo $k s, unzip $u s"
echo "RATIO $(awk -v k="$k" -v u="$u" 'BEGIN {printf "%.2f", u / k}') vs unzip"

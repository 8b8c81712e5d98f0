#!/usr/bin/env bash
# Each fuzz target for a million executions on its seed corpus (build-fuzz: clang, libFuzzer,
# AddressSanitizer and UBSan), two targets at a time on a machine with two cores or more.
# Last line: FUZZ <targets> targets, <executions> executions, <crashes> crashes
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build-fuzz"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
echo "fuzz: building the targets in $build"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DKAVO_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build "$build" --target kavo_fuzz -- -j"$(nproc)" >/dev/null
jobs=$(( $(nproc) >= 2 ? 2 : 1 ))
FUZZ_JOBS="$jobs" "$here/tests/fuzz/run.sh" "$build" -runs=1000000

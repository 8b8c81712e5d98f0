#!/usr/bin/env bash
# ./kavo.sh run   install what is missing, build, start Kavo.V5 from the build output
# ./kavo.sh test  install what is missing, build, run every test; then the suite again under
#                 AddressSanitizer and UBSan (build-asan), then each fuzz target briefly (build-fuzz)
# ./kavo.sh package [APP-DIR]  build, then bundle the programs with an application folder (default:
#                   the demo) into build/dist/<App>-<Version>-linux-<arch>.tar.gz with install.sh
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$here/build"

install_deps() {
    if [ "$(id -u)" -eq 0 ]; then
        "$here/scripts/install-deps.sh"
    else
        echo "kavo: not root, skipping package installation"
    fi
}

# build [DIR [TARGET [CMAKE OPTIONS...]]]
build() {
    local dir="${1:-$build}" target="${2:-all}"
    shift 2 || shift $#
    echo "kavo: configuring and building $target in $dir"
    local launcher=()
    # Rebuilds of an unchanged tree (a second build directory, a new clone) come from the cache.
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
    cmake --build "$dir" --target "$target" -- -j"$(nproc)"
}

# The whole suite again, every test and both programs built with AddressSanitizer and UBSan.
# The tests' environment (tests/CMakeLists.txt) sends every report of a test or of a program it
# starts to its runner, which fails the test on it.
sanitizer_suite() {
    local dir="$here/build-asan"
    build "$dir" all -DKAVO_SANITIZE=ON
    echo "kavo: running tests under AddressSanitizer and UBSan"
    cd "$dir"
    ctest --output-on-failure -j"$(nproc)" --timeout 1800
}

# Each fuzz target for a short fixed time; bench/fuzz.sh runs them for a million executions.
fuzz_short() {
    build "$here/build-fuzz" kavo_fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DKAVO_FUZZ=ON
    local jobs=$(( $(nproc) >= 2 ? 2 : 1 ))
    echo "kavo: running each fuzz target for 20 s, $jobs at a time"
    FUZZ_JOBS="$jobs" "$here/tests/fuzz/run.sh" "$here/build-fuzz" -seed=1 -max_total_time=20
}

case "${1:-}" in
    test)
        install_deps
        build
        echo "kavo: running tests"
        cd "$build"
        ctest --output-on-failure -j"$(nproc)" --timeout 600
        sanitizer_suite
        fuzz_short
        ;;
    run)
        install_deps
        build
        "$here/scripts/run-demo.sh" "$build"
        ;;
    package)
        install_deps
        build
        "$here/scripts/package-app.sh" "$build/bin" "$build/dist" ${2:+"$2"}
        ;;
    *)
        echo "usage: $0 run|test|package [APP-DIR]" >&2
        exit 2
        ;;
esac

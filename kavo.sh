#!/usr/bin/env bash
# ./kavo.sh run   install what is missing, build with QtWebEngine (build/), start Kavo.V5 from the
#                 build output
# ./kavo.sh test  install what is missing; build and run every test with QtWebEngine (build/);
#                 then the suite again under AddressSanitizer and UBSan: on QtWebKit where it is
#                 installed (Debian 12, build-webkit-asan/), else on QtWebEngine (build-asan/); then
#                 each fuzz target briefly (build-fuzz/). Every stage runs; any failed one fails
#                 the command.
# ./kavo.sh package [APP-DIR] [--unsigned-updates]  build with QtWebEngine, then bundle the programs
#                   with an application folder (default: the demo) into
#                   build/dist/<App>-<Version>-linux-<arch>.tar.gz, its qt.conf carrying an update key
#                   (see scripts/package-app.sh)
# The engine of a build directory is chosen when it is configured: -DKAVO_ENGINE=webengine|webkit.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"
build="$here/build"
jobs="$(nproc)"

install_deps() {
    if [ "$(id -u)" -eq 0 ]; then
        "$here/scripts/install-deps.sh"
    else
        echo "kavo: not root, skipping package installation"
    fi
}

# build DIR TARGET [CMAKE OPTIONS...]
# Each step ends the function on failure by itself, as errexit does not reach into a stage.
build() {
    local dir="$1" target="$2" start=$SECONDS
    shift 2
    echo "kavo: configuring and building $target in $dir"
    local options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    # Rebuilds of an unchanged tree (a new clone, a build directory made again) come from the cache.
    if command -v ccache >/dev/null; then
        options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    # An isolated test gets an empty /tmp of its own, in which a build below /tmp would vanish.
    case "$here/" in
        /tmp/*) options+=(-DKAVO_ISOLATE_TESTS=OFF) ;;
    esac
    cmake -S "$here" -B "$dir" "${options[@]}" "$@" >/dev/null || return
    cmake --build "$dir" --target "$target" -- -j"$jobs" || return
    echo "kavo: $target in $dir built in $((SECONDS - start)) s"
}

# suite NAME DIR [CMAKE OPTIONS...]: builds everything in DIR and runs every test there.
suite() {
    local name="$1" dir="$2"
    shift 2
    build "$dir" all -DKAVO_TEST_SWITCHES=ON "$@" || return
    echo "kavo: running the tests of $name"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 1800
}

# Whether this machine has QtWebKit to build with (Debian 12 ships it, Debian 13 does not).
have_webkit() {
    pkg-config --exists Qt5WebKitWidgets 2>/dev/null
}

# The newest clang installed that links libFuzzer (Debian 12: 14, Debian 13: 19).
fuzz_compiler() {
    local probe cxx
    probe="$(mktemp -d)"
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' >"$probe/f.cpp"
    for cxx in $(compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -u -t- -k2 -rn) clang++; do
        if "$cxx" -fsanitize=fuzzer "$probe/f.cpp" -o "$probe/f" 2>/dev/null; then
            rm -rf "$probe"
            echo "$cxx"
            return
        fi
    done
    rm -rf "$probe"
    echo "kavo: no clang with libFuzzer installed (scripts/install-deps.sh installs one)" >&2
    return 1
}

# Each fuzz target for a short fixed time; bench/fuzz.sh runs them for a million executions.
fuzz_short() {
    local cxx
    cxx="$(fuzz_compiler)" || return
    build "$here/build-fuzz" kavo_fuzz -DCMAKE_CXX_COMPILER="$cxx" -DKAVO_ENGINE=webengine \
        -DKAVO_FUZZ=ON || return
    local fuzz_jobs=$((jobs >= 2 ? 2 : 1))
    echo "kavo: running each fuzz target ($cxx) for 20 s, $fuzz_jobs at a time"
    FUZZ_JOBS="$fuzz_jobs" "$here/tests/fuzz/run.sh" "$here/build-fuzz" -seed=1 -max_total_time=20
}

failed=()
# stage NAME COMMAND...: runs one stage of the tests to its end and remembers it when it fails.
stage() {
    local name="$1" start=$SECONDS
    shift
    echo "kavo: === $name"
    "$@" || failed+=("$name")
    echo "kavo: === $name: $((SECONDS - start)) s"
}

test_all() {
    stage "QtWebEngine suite (build)" suite QtWebEngine "$build" -DKAVO_ENGINE=webengine
    # The tests' environment (tests/CMakeLists.txt) sends every sanitizer report of a test or of
    # a program it starts to its runner, which fails the test on it. The second engine is run
    # sanitized, so one more build covers both it and the sanitizers; without it the sanitized
    # suite runs on QtWebEngine (Chromium's own processes are not instrumented either way).
    if have_webkit; then
        stage "QtWebKit suite under AddressSanitizer and UBSan (build-webkit-asan)" suite \
            "QtWebKit under AddressSanitizer and UBSan" "$here/build-webkit-asan" -DKAVO_ENGINE=webkit -DKAVO_SANITIZE=ON
    else
        echo "kavo: QtWebKit is not installed here (Debian 13 has none): QtWebEngine only"
        stage "sanitizer suite (build-asan)" suite "QtWebEngine under AddressSanitizer and UBSan" \
            "$here/build-asan" -DKAVO_ENGINE=webengine -DKAVO_SANITIZE=ON
    fi
    stage "fuzz targets (build-fuzz)" fuzz_short
    if [ ${#failed[@]} -gt 0 ]; then
        printf 'kavo: FAILED: %s\n' "${failed[@]}" >&2
        return 1
    fi
    echo "kavo: every stage passed"
}

case "${1:-}" in
    test)
        install_deps
        test_all
        ;;
    run)
        install_deps
        build "$build" all -DKAVO_ENGINE=webengine
        "$here/scripts/run-demo.sh" "$build"
        ;;
    package)
        install_deps
        # What users get never obeys the tests' switches.
        build "$build" all -DKAVO_ENGINE=webengine -DKAVO_TEST_SWITCHES=OFF
        "$here/scripts/package-app.sh" "$build/bin" "$build/dist" "${@:2}"
        ;;
    *)
        echo "usage: $0 run|test|package [APP-DIR] [--unsigned-updates]" >&2
        exit 2
        ;;
esac

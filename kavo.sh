#!/usr/bin/env bash
# ./kavo.sh run   install what is missing, build, start Kavo.V5 from the build output
# ./kavo.sh test  install what is missing, build, run every test
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

build() {
    echo "kavo: configuring and building in $build"
    local launcher=()
    # Rebuilds of an unchanged tree (a second build directory, a new clone) come from the cache.
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
    cmake --build "$build" -- -j"$(nproc)"
}

case "${1:-}" in
    test)
        install_deps
        build
        echo "kavo: running tests"
        cd "$build"
        ctest --output-on-failure -j"$(nproc)" --timeout 600
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

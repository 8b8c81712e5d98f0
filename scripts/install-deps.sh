#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the run and the benchmarks need.
# Quick when everything is already there.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config binutils lld ccache
    qtbase5-dev libqt5sql5-sqlite libqt5webkit5-dev qtdeclarative5-dev
    libminizip-dev libhttp-parser-dev zlib1g-dev libx11-dev libssl-dev libsqlite3-dev
    # run and tests without a desktop
    xvfb xauth x11-apps fonts-wqy-microhei imagemagick
    # tests and benchmark peers (tests/commands.sh names every command they start)
    zip unzip nginx-light wrk aria2 curl sqlite3 python3
    # signing update packages (scripts/make-update-package.sh) and the tests' certificates
    openssl
    # fuzz targets: clang with libFuzzer and its sanitizer runtimes
    clang-14 libclang-rt-14-dev libfuzzer-14-dev
    # docs and packaging: the typed page API check, runtime dependencies, desktop entries
    node-typescript dpkg-dev desktop-file-utils
    # Qt's own texts in Chinese; a window manager and window tools for the desktop tests
    qttranslations5-l10n openbox xdotool
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

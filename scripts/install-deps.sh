#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the run and the benchmarks need: on
# Debian 12 (bookworm) for both web engines, QtWebEngine on Qt 6 and QtWebKit on Qt 5.15; on
# Debian 13 (trixie), which has no QtWebKit, for QtWebEngine only. Quick when everything is there.
set -euo pipefail

codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
case "$codename" in
    bookworm) webkit=yes clang=14 ;;
    trixie) webkit=no clang=19 ;;
    *)
        echo "install-deps: Debian 12 (bookworm) or 13 (trixie) expected, this is '${codename:-unknown}'" >&2
        exit 1
        ;;
esac

packages=(
    # build
    build-essential cmake ninja-build pkg-config binutils lld ccache
    libminizip-dev libhttp-parser-dev zlib1g-dev libx11-dev libssl-dev libsqlite3-dev
    # Qt 6 and QtWebEngine (the tests use Qt's script engine, QtQml); Qt's own texts in Chinese
    qt6-base-dev qt6-webengine-dev libqt6webenginecore6-bin libqt6sql6-sqlite qt6-declarative-dev
    qt6-translations-l10n
    # run and tests without a desktop
    xvfb xauth x11-apps fonts-wqy-microhei imagemagick
    # tests and benchmark peers (tests/commands.sh names every command they start)
    zip unzip nginx-light wrk aria2 curl sqlite3 python3
    # signing update packages (scripts/make-update-package.sh) and the tests' certificates
    openssl
    # fuzz targets: clang with libFuzzer and its sanitizer runtimes
    "clang-$clang" "libclang-rt-$clang-dev" "libfuzzer-$clang-dev"
    # docs and packaging: the typed page API check, runtime dependencies, desktop entries
    node-typescript dpkg-dev desktop-file-utils
    # a window manager and window tools for the desktop tests
    openbox xdotool
)
if [ "$webkit" = yes ]; then
    packages+=(qtbase5-dev libqt5sql5-sqlite libqt5webkit5-dev qtdeclarative5-dev qttranslations5-l10n)
fi

# One dpkg query for all of them keeps the check well under a second.
installed=" $(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null \
    | awk '$1 == "ii" { printf "%s ", $2 }' || true)"
missing=()
for package in "${packages[@]}"; do
    case "$installed" in
        *" $package "*) ;;
        *) missing+=("$package") ;;
    esac
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages of $codename present"
    exit 0
fi

echo "install-deps: installing on $codename: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

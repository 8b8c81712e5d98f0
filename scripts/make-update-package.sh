#!/usr/bin/env bash
# make-update-package.sh BIN_DIR VERSION OUT.zip [--overlay DIR]
# Builds an update package from a build output directory: a copy of the installation with
# VERSION stamped into both executables (and into qt.conf), files of DIR laid over it, zipped
# so that unpacking it over an installation's root installs it. The build output is not touched.
set -euo pipefail

usage() { echo "usage: $0 BIN_DIR VERSION OUT.zip [--overlay DIR]" >&2; exit 2; }
[ $# -ge 3 ] || usage
bin="$(cd "$1" && pwd)"
version="$2"
out="$3"
shift 3
overlay=""
while [ $# -gt 0 ]; do
    case "$1" in
        --overlay) [ $# -ge 2 ] || usage; overlay="$(cd "$2" && pwd)"; shift 2 ;;
        *) usage ;;
    esac
done
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "make-update-package: version must be four dotted numbers, not '$version'" >&2
    exit 2
fi
for exe in Kavo.V5 Kavo.Update; do
    [ -x "$bin/$exe" ] || { echo "make-update-package: $bin/$exe missing" >&2; exit 1; }
done

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
echo "make-update-package: copying $bin"
# The update area, logs and the user's own files belong to an installation, not to a package.
(cd "$bin" && tar -cf - --exclude=./data/update --exclude='*.elf' --exclude=./data/user.conf \
    --exclude=./cookies.ini .) | (cd "$stage" && tar -xf -)
if [ -n "$overlay" ]; then
    echo "make-update-package: laying $overlay over it"
    cp -a "$overlay/." "$stage/"
fi

echo "make-update-package: stamping $version"
stamp="$stage/.stamp"
# The section is a fixed 64-byte NUL-padded text field.
printf '%s' "$version" > "$stamp"
truncate -s 64 "$stamp"
for exe in Kavo.V5 Kavo.Update; do
    objcopy --update-section .kavo_version="$stamp" "$stage/$exe"
done
rm -f "$stamp"
if [ -f "$stage/qt.conf" ]; then
    sed -i "s/^Version=.*/Version=$version/" "$stage/qt.conf"
fi

mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
rm -f "$out"
(cd "$stage" && zip -qr -X "$out" .)
echo "make-update-package: $out ($(stat -c %s "$out") bytes, version $version)"

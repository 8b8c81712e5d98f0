#!/usr/bin/env bash
# Every command the tests and benchmarks start, with the Debian package that brings it
# (scripts/install-deps.sh installs them all). Names each missing one instead of letting a
# test fail later on a comparison.
set -euo pipefail

missing=0
while read -r command package; do
    if ! command -v "$command" >/dev/null 2>&1; then
        echo "commands: '$command' is missing (Debian package $package; scripts/install-deps.sh installs it)"
        missing=$((missing + 1))
    fi
done <<'LIST'
zip zip
unzip unzip
nginx nginx-light
openssl openssl
objcopy binutils
sqlite3 sqlite3
Xvfb xvfb
xvfb-run xvfb
xauth xauth
unshare util-linux
curl curl
aria2c aria2
wrk wrk
python3 python3
import imagemagick
tsc node-typescript
openbox openbox
xdotool xdotool
desktop-file-validate desktop-file-utils
dpkg-shlibdeps dpkg-dev
LIST
if [ "$missing" -gt 0 ]; then
    exit 1
fi
echo "commands: all present"

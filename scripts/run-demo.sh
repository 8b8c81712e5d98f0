#!/usr/bin/env bash
# Starts Kavo.V5 from the build output. Without a display it runs under Xvfb and saves a
# screenshot of the window to build/screenshot.png.
set -euo pipefail

build="${1:?usage: run-demo.sh BUILD_DIR}"
program="$build/bin/Kavo.V5"

if [ -n "${DISPLAY:-}" ]; then
    echo "run-demo: starting $program on $DISPLAY"
    exec "$program"
fi

shot="$build/screenshot.png"
echo "run-demo: no display, starting $program under Xvfb"
export KAVO_NONINTERACTIVE=1
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    set -euo pipefail
    "$1" & pid=$!
    sleep "${KAVO_SHOT_DELAY:-8}"
    import -window root "$2" || true
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
' _ "$program" "$shot"
echo "run-demo: screenshot saved to $shot"

#!/usr/bin/env bash
# Starts Kavo.V5 from the build output. Without a display it runs under Xvfb, waits until the
# first page has slid in over the splash, saves a screenshot to build/screenshot.png, stops
# the program and prints the screenshot's path.
set -euo pipefail

build="${1:?usage: run-demo.sh BUILD_DIR}"
program="$build/bin/Kavo.V5"

if [ -n "${DISPLAY:-}" ]; then
    echo "run-demo: starting $program on $DISPLAY"
    exec "$program"
fi

shot="$build/screenshot.png"
log="$build/run-demo.log"
rm -f "$shot"
echo "run-demo: no display, starting $program under Xvfb"
export KAVO_NONINTERACTIVE=1 KAVO_TRACE_STARTUP=1
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    set -euo pipefail
    "$1" >"$3" 2>&1 & pid=$!
    # The program prints "KAVO_STARTUP shown" once the loaded page has replaced the splash.
    for _ in $(seq 1 300); do
        if grep -q "^KAVO_STARTUP shown" "$3"; then break; fi
        if ! kill -0 "$pid" 2>/dev/null; then echo "run-demo: Kavo.V5 ended early" >&2; cat "$3" >&2; exit 1; fi
        sleep 0.1
    done
    shown=1
    grep -q "^KAVO_STARTUP shown" "$3" || { echo "run-demo: no page within 30 s" >&2; tail -20 "$3" >&2; shown=0; }
    # The screen is saved either way: it shows what stood there instead of the page.
    sleep 0.5
    import -window root "$2"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ "$shown" -eq 1 ]
' _ "$program" "$shot" "$log" || status=$?
[ -s "$shot" ] || { echo "run-demo: no screenshot" >&2; exit 1; }
if [ "${status:-0}" -ne 0 ]; then
    echo "run-demo: failed; the screen as it was: $shot" >&2
    exit "$status"
fi
echo "$shot"

#!/usr/bin/env bash
# endleftovers.sh TEST_HOME_ROOT
# Ends every process whose HOME lies below TEST_HOME_ROOT, that is whatever the tests of one
# build started and left running; an nginx through the pid file it names. Other processes on
# the machine are never touched.
set -euo pipefail

root="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
# One pass over every environment: HOME is a NUL-separated entry of its own.
pattern="HOME=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|/]/\\&/g')(/.*)?"
found=()
while IFS= read -r environ; do
    pid="${environ#/proc/}"
    pid="${pid%/environ}"
    [ "$pid" = "$$" ] || found+=("$pid")
done < <(grep -lsazx -E "$pattern" /proc/[0-9]*/environ || true)

for pid in "${found[@]}"; do
    command="$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" || continue
    target="$pid"
    # nginx -p DIR writes DIR/nginx.pid; ending that master ends its workers too.
    if [[ "$command" =~ ^nginx.*-p\ ([^ ]+) ]] && [ -r "${BASH_REMATCH[1]}/nginx.pid" ]; then
        target="$(cat "${BASH_REMATCH[1]}/nginx.pid")"
    fi
    echo "endleftovers: ending pid $target ($command)"
    kill -TERM "$target" 2>/dev/null || true
done
if [ ${#found[@]} -gt 0 ]; then
    sleep 2
    for pid in "${found[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
fi
echo "endleftovers: ${#found[@]} processes left by tests below $root"

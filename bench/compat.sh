#!/usr/bin/env bash
# Modern web support of QtWebEngine against QtWebKit in one run, each in its own Kavo.V5 from its
# local server: the checks page of bench/compat (ES2015-ES2022 syntax and built-ins, ES modules,
# web APIs, CSS), then Vue 3, Preact with htm as ES modules, and Chart.js 4. The frameworks come
# from the npm registry (npm pack) into a temporary folder, never into the tree.
# Runs under Xvfb, started here when there is no display.
# Usage: compat.sh [WEBENGINE_BUILD] [WEBKIT_BUILD]   (default build and build-webkit)
# Last line: COMPAT, per engine the checks passed and the frameworks that started and rendered.
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
    echo "compat: no display, running under Xvfb"
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi

here=$(dirname "$(realpath "$0")")
declare -A builds=([webengine]=$(realpath "${1:-build}") [webkit]=$(realpath "${2:-build-webkit}"))
engines=(webengine webkit)
frameworks=(vue preact chart)
work=$(mktemp -d)
KAVO_PID=""
cleanup() { [ -z "$KAVO_PID" ] || kavo_stop; rm -rf "$work"; }
trap cleanup EXIT
source "$here/kavoapp.sh"

pages=$work/pages
cp -r "$here/compat" "$pages"
mkdir -p "$work/packs" "$pages/npm"
echo "compat: npm pack vue@3 preact@10 htm@3 chart.js@4"
(cd "$work/packs" && npm pack --silent vue@3 preact@10 htm@3 chart.js@4 >/dev/null)
for pack in "$work/packs"/*.tgz; do
    mkdir "$work/unpacked"
    tar xzf "$pack" -C "$work/unpacked"
    name=$(node -p 'require(process.argv[1]).name' "$work/unpacked/package/package.json")
    version=$(node -p 'require(process.argv[1]).version' "$work/unpacked/package/package.json")
    mv "$work/unpacked/package" "$pages/npm/$name"
    rmdir "$work/unpacked"
    echo "compat: $name $version"
done

declare -A summary
for engine in "${engines[@]}"; do
    dir=$work/$engine
    echo "compat: $engine from ${builds[$engine]}"
    kavo_install "${builds[$engine]}" "$dir" "$pages"
    kavo_page "$dir" data/KavoBench/compat.html
    kavo_start "$dir" "$dir.log"
    # Every page finishes within about 10 s of its load, then opens the next.
    kavo_wait 120 kavo_done "$dir" all || echo "compat: $engine did not finish the pages" >&2
    kavo_stop

    passed=$(kavo_result "$dir" compat passed) total=$(kavo_result "$dir" compat total)
    echo "$engine: compat: ${passed:-no result} of ${total:-?} checks"
    echo "$engine: failed: $(kavo_result "$dir" compat failed)"
    started=0
    for page in "${frameworks[@]}"; do
        version=$(kavo_result "$dir" "$page" version)
        errors=$(kavo_result "$dir" "$page" errors)
        if [ "$(kavo_result "$dir" "$page" rendered)" = true ]; then
            result="started and rendered${version:+ ($version)}"
            started=$((started + 1))
        elif [ "$(kavo_result "$dir" "$page" started)" = true ]; then
            result="started, did not render${errors:+: $errors}"
        else
            result="did not start${errors:+: $errors}"
        fi
        echo "$engine: $page: $result"
    done
    summary[$engine]="${passed:-0} of ${total:-?} checks, $started of ${#frameworks[@]} frameworks"
done
echo "COMPAT webengine ${summary[webengine]}; webkit ${summary[webkit]}"

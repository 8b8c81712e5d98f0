#!/usr/bin/env bash
# QtWebEngine against QtWebKit in one run, each build with its own programs: one bridge call
# (KavoDevice.getVersion, median of 1000, clocked in C++ by kavo-bridgecost), 1000 ClientDb
# inserts as 1000 calls, as one Kavo.batch and as one insertRows (database on /dev/shm, so the
# figures are the calls' and SQLite's, not the disk's); start of Kavo.V5 to the demo's first page;
# RSS and PSS of the whole process tree once that page is shown, on X (Xvfb, started here when
# there is no display) and offscreen. Rounds alternate the engines. Then the goals on QtWebEngine.
# Usage: engine.sh [WEBENGINE_BUILD] [WEBKIT_BUILD]   (default build and build-webkit)
# Last line: GOALS <met> of 3 met on webengine, with the three figures.
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
    echo "engine: no display, running under Xvfb"
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi

here=$(dirname "$(realpath "$0")")
declare -A builds=([webengine]=$(realpath "${1:-build}") [webkit]=$(realpath "${2:-build-webkit}"))
engines=(webengine webkit)
rounds=${ROUNDS:-5}
bridge_runs=${BRIDGE_RUNS:-3}
settle=${SETTLE_SECONDS:-3}
work=$(mktemp -d)
shm=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
KAVO_PID=""
cleanup() { [ -z "$KAVO_PID" ] || kavo_stop; rm -rf "$work" "$shm"; }
trap cleanup EXIT
source "$here/kavoapp.sh"

declare -A fig
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
medianof() { tr ' ' '\n' <<<"$1" | grep . | median; }

load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "engine: load average $load on $(nproc) cores"
for engine in "${engines[@]}"; do
    echo "engine: $engine from ${builds[$engine]}"
    [ -x "${builds[$engine]}/bench/kavo-bridgecost" ] || { echo "engine: build kavo-bridgecost there" >&2; exit 1; }
done

echo "engine: $bridge_runs runs of bench/bridge/bridge.html in kavo-bridgecost, each engine in turn"
declare -A runs
for run in $(seq "$bridge_runs"); do
    for engine in "${engines[@]}"; do
        home=$work/$engine-harness
        HOME=$home XDG_DATA_HOME=$home/data XDG_CACHE_HOME=$home/cache XDG_CONFIG_HOME=$home/config \
            "${builds[$engine]}/bench/kavo-bridgecost" "$here/bridge/bridge.html" "$shm/$engine.db" \
            >"$work/$engine.bridge" 2>"$work/$engine.bridge.log" || { cat "$work/$engine.bridge.log" >&2; exit 1; }
        # Figures (names ending in _ms) gather for the median; texts keep the last run's.
        while read -r name value; do
            case $name in
                *_ms) runs[$engine.$name]+="$value " ;;
                *) fig[$engine.$name]=$value ;;
            esac
        done <"$work/$engine.bridge"
        echo "run $run $engine: $(awk '$1 ~ /_ms$/ {printf "%s%s %.4g", sep, $1, $2; sep = ", "}' "$work/$engine.bridge")"
    done
done
for key in "${!runs[@]}"; do fig[$key]=$(medianof "${runs[$key]}"); done
for engine in "${engines[@]}"; do echo "$engine: ${fig[$engine.agent]}"; done

# All processes below pid, pid first.
tree_pids() {
    echo "$1"
    local child
    for child in $(ps -o pid= --ppid "$1"); do tree_pids "$child"; done
}

# "<rss KiB> <pss KiB> <processes>" of the process tree below pid.
tree_memory() {
    local pid rss=0 pss=0 count=0 r p
    for pid in $(tree_pids "$1"); do
        read -r r p < <(awk '/^Rss:/ {r = $2} /^Pss:/ {p = $2} END {print r + 0, p + 0}' \
            "/proc/$pid/smaps_rollup" 2>/dev/null || echo "0 0")
        rss=$((rss + r)) pss=$((pss + p)) count=$((count + 1))
    done
    echo "$rss $pss $count"
}

mb() { awk -v kib="$1" 'BEGIN {printf "%.0f", kib * 1024 / 1e6}'; }

for engine in "${engines[@]}"; do
    kavo_install "${builds[$engine]}" "$work/$engine"
    kavo_page "$work/$engine" data/Demo/index.html
done

shown() { grep -qs '^KAVO_STARTUP shown' "$1"; }
stamp() { awk -v what="$2" '$1 == "KAVO_STARTUP" && $2 == what {print $4; exit}' "$1"; }

# rounds PLATFORM: start-up and memory on one Qt platform, medians into fig[ENGINE.PLATFORM.*].
rounds() {
    local platform=$1 round engine log start r p n l s platform_env=(QT_QPA_PLATFORM="$1")
    # Qt's offscreen platform draws through X when it finds a display: keep it from finding one.
    [ "$platform" != offscreen ] || platform_env=(-u DISPLAY "${platform_env[@]}")
    declare -A loaded shownms rss pss
    echo "engine: $rounds rounds of Kavo.V5 showing the demo on $platform, memory ${settle} s after it is shown"
    for round in $(seq "$rounds"); do
        for engine in "${engines[@]}"; do
            log=$work/$engine.$platform.$round.log
            start=$(date +%s%3N)
            kavo_start "$work/$engine" "$log" "${platform_env[@]}"
            kavo_wait 60 shown "$log" || { echo "engine: $engine showed no page" >&2; tail -20 "$log" >&2; exit 1; }
            sleep "$settle"
            read -r r p n < <(tree_memory "$KAVO_PID")
            kavo_stop
            l=$(($(stamp "$log" loaded) - start)) s=$(($(stamp "$log" shown) - start))
            loaded[$engine]+="$l " shownms[$engine]+="$s " rss[$engine]+="$r " pss[$engine]+="$p "
            fig[$engine.$platform.procs]=$n
            echo "round $round $engine: loaded $l ms, shown $s ms, RSS $(mb "$r") MB, PSS $(mb "$p") MB, $n processes"
        done
    done
    for engine in "${engines[@]}"; do
        fig[$engine.$platform.loaded]=$(medianof "${loaded[$engine]}")
        fig[$engine.$platform.shown]=$(medianof "${shownms[$engine]}")
        fig[$engine.$platform.rss]=$(mb "$(medianof "${rss[$engine]}")")
        fig[$engine.$platform.pss]=$(mb "$(medianof "${pss[$engine]}")")
    done
}

# Both: on an X server the program draws as on a desktop (Qt's GL on Mesa, about 120 MB more for
# QtWebEngine); offscreen it draws into memory only.
platforms=(xcb offscreen)
for platform in "${platforms[@]}"; do rounds "$platform"; done

# figure VALUE UNIT DIGITS: a figure, or "failed" for none.
figure() { if [ -n "$1" ]; then printf "%.${3}f %s" "$1" "$2"; else echo failed; fi; }

# row LABEL KEY UNIT DIGITS: both engines' figure and webengine/webkit.
row() {
    local we=${fig[webengine.$2]:-} wk=${fig[webkit.$2]:-} ratio="-"
    [ -n "$we" ] && [ -n "$wk" ] && ratio=$(awk -v a="$we" -v b="$wk" 'BEGIN {printf "%.1f", a / b}')
    printf '%-44s %13s %13s %9s\n' "$1" "$(figure "$we" "$3" "$4")" "$(figure "$wk" "$3" "$4")" "$ratio"
}

echo "engine: medians"
printf '%-44s %13s %13s %9s\n' "" webengine webkit "we/wk"
row "bridge call (KavoDevice.getVersion)" getversion_ms ms 4
row "bridge call (BenchClock.now)" call_ms ms 4
row "1000 inserts, a call each" inserts_single_ms ms 1
row "1000 inserts, one Kavo.batch" inserts_batch_ms ms 1
row "1000 inserts, one insertRows" inserts_rows_ms ms 1
for platform in "${platforms[@]}"; do
    row "start to first page loaded, $platform" "$platform.loaded" ms 0
    row "start to first page shown, $platform" "$platform.shown" ms 0
    row "RSS of ${fig[webengine.$platform.procs]} and ${fig[webkit.$platform.procs]} processes, $platform" \
        "$platform.rss" MB 0
    row "PSS, $platform" "$platform.pss" MB 0
done
for engine in "${engines[@]}"; do
    for way in single batch rows; do
        error=${fig[$engine.inserts_${way}_error]:-}
        [ -z "$error" ] || echo "$engine: 1000 inserts ($way) failed: $error"
    done
done

# verdict GOAL FIGURES CONDITION: met when the awk CONDITION holds.
met=0
verdict() {
    if awk "BEGIN {exit !($3)}"; then
        met=$((met + 1))
        echo "goal: $1: met ($2)"
    else
        echo "goal: $1: NOT met (${2:-failed})"
    fi
}
# Figures of a way that failed are empty: the goal is not met.
call_ms=${fig[webengine.getversion_ms]:-} batch_ms=${fig[webengine.inserts_batch_ms]:-}
call=${call_ms:+$(printf '%.3f ms' "$call_ms")} batch=${batch_ms:+$(printf '%.1f ms' "$batch_ms")}
x=${fig[webengine.xcb.rss]} o=${fig[webengine.offscreen.rss]}
rss="$x MB on xcb, $o MB offscreen"
verdict "a bridge call under 0.2 ms" "$call" "${call_ms:-1e9} < 0.2"
verdict "1000 inserts as one batch under 20 ms" "$batch" "${batch_ms:-1e9} < 20"
verdict "no more than 300 MB RSS, on X and offscreen" "$rss" "$x <= 300 && $o <= 300"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) (at the start: $load)"
echo "GOALS $met of 3 met on webengine: call ${call:-failed}, batch ${batch:-failed}, RSS $rss"

# Sourced by the benchmarks that measure Kavo.V5 itself: a throw-away installation made from a
# build output, whose application "KavoBench" (its own name, so no other Kavo instance on the
# machine is asked to come to the front instead) shows a chosen page from the local server.
# Pages report through ClientDb into data/KavoBench/results.db, which works on both engines.

# kavo_install BUILD DIR [PAGES]: the programs, the demo and PAGES as data/KavoBench/.
kavo_install() {
    local build=$1 dir=$2 pages=${3:-}
    mkdir -p "$dir/data/KavoBench" "$dir/home"
    # Copies, not links: the program finds its installation from its own real path.
    cp "$build/bin/Kavo.V5" "$build/bin/Kavo.Update" "$build/bin/data.zip" "$dir/"
    cp -r "$build/bin/data/Demo" "$dir/data/"
    if [ -n "$pages" ]; then cp -r "$pages/." "$dir/data/KavoBench/"; fi
    sqlite3 "$dir/data/KavoBench/results.db" \
        'create table if not exists result (page text, name text, value text)'
}

# kavo_page DIR PATH: the first page of the next start, e.g. data/Demo/index.html, on a free port.
kavo_page() {
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    cat >"$1/qt.conf" <<CONF
[Paths]
Plugins=.

[System]
Mode=
App=KavoBench
Port=$port

[KavoBench]
Version=5.0.0.0
Title=KavoBench
Icon=data/Demo/icon.png
Splash=data/Demo/splash.png
Width=1024
Height=700
Url=http://localhost:$port/$2
CONF
}

# kavo_start DIR LOG [ENV...]: starts the installation's Kavo.V5 with a home of its own, through
# env with ENV's arguments (-u NAME first, then NAME=VALUE); sets KAVO_PID.
kavo_start() {
    env "${@:3}" HOME="$1/home" XDG_DATA_HOME="$1/home/data" XDG_CACHE_HOME="$1/home/cache" \
        XDG_CONFIG_HOME="$1/home/config" KAVO_NONINTERACTIVE=1 KAVO_TRACE_STARTUP=1 "$1/Kavo.V5" >"$2" 2>&1 &
    KAVO_PID=$!
}

kavo_stop() {
    kill "$KAVO_PID" 2>/dev/null || true
    wait "$KAVO_PID" 2>/dev/null || true
    KAVO_PID=""
}

# kavo_wait SECONDS COMMAND...: polls COMMAND until it succeeds; fails when Kavo.V5 ends first.
kavo_wait() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        kill -0 "$KAVO_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# kavo_result DIR PAGE NAME: a value a page recorded.
kavo_result() {
    sqlite3 -cmd ".timeout 5000" "$1/data/KavoBench/results.db" "select value from result where page = '$2' and name = '$3' limit 1"
}

kavo_done() { [ -n "$(kavo_result "$1" "$2" done)" ]; }

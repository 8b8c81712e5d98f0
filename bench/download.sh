#!/usr/bin/env bash
# Throughput and peak RSS of kavo-get -c 5, aria2c -x5 -s5 and curl fetching one random file from
# nginx on loopback, unlimited and with each connection limited to 50 MB/s.
# Last lines: LIMITED <kavo/aria2c> then RATIO <kavo/aria2c> vs aria2c.
set -euo pipefail

build=${1:-build}
kavo=$(realpath "$build/bench/kavo-get")
size_mib=${SIZE_MIB:-512}
rounds=${ROUNDS:-3}
work=$(mktemp -d)
chmod 755 "$work"
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

echo "download: making a ${size_mib} MiB file in $work"
mkdir -p "$work/root"
chmod 755 "$work/root"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/root/f.bin"
chmod 644 "$work/root/f.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

start_nginx() { # $1: extra location directives
    [ -n "$pid" ] && { kill "$pid"; wait "$pid" 2>/dev/null || true; }
    cat > "$work/nginx.conf" <<CONF
daemon off; pid $work/nginx.pid; error_log $work/error.log;
events {}
http { access_log off; client_body_temp_path $work;
  server { listen 127.0.0.1:$port; root $work/root; location / { $1 } } }
CONF
    nginx -p "$work" -c "$work/nginx.conf" & pid=$!
    sleep 0.5
}

# Prints "MB/s peakKiB" for one command that writes $work/out/f.bin.
measure() {
    rm -rf "$work/out"; mkdir -p "$work/out"
    local t0 t1
    t0=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    python3 -c "print('%.1f' % ($size_mib*1.048576/($t1-$t0)), end=' ')"
    cat "$work/rss"
}

run_case() { # $1: label; prints best throughput of kavo and aria2c in KAVO/ARIA variables
    local url="http://127.0.0.1:$port/f.bin" best_k=0 best_a=0
    for r in $(seq "$rounds"); do
        read -r k krss < <(measure "$kavo" "$url" "$work/out/f.bin" -c 5)
        read -r a arss < <(measure aria2c -q -x5 -s5 -d "$work/out" -o f.bin "$url")
        read -r c crss < <(measure curl -s -o "$work/out/f.bin" "$url")
        echo "$1 round $r: kavo-get $k MB/s ${krss} KiB | aria2c $a MB/s ${arss} KiB | curl $c MB/s ${crss} KiB"
        best_k=$(python3 -c "print(max($best_k,$k))"); best_a=$(python3 -c "print(max($best_a,$a))")
    done
    KAVO=$best_k; ARIA=$best_a
}

start_nginx ""
run_case unlimited
ratio=$(python3 -c "print('%.2f' % ($KAVO/$ARIA))")
start_nginx "limit_rate 50m;"
run_case limited
limited=$(python3 -c "print('%.2f' % ($KAVO/$ARIA))")
echo "LIMITED $limited"
echo "RATIO $ratio vs aria2c"

#!/usr/bin/env bash
# The same abuse against kavo-httpd and nginx in one run: (a) 20,000 pipelined requests for a
# 3 MiB file on one connection whose answers are never read, (b) 1,000 connections that send one
# header byte every 10 s. For each: the server's resident memory before and at its peak, whether
# a fresh client asking once a second was answered every time, and (b) how many slow sockets the
# server closed. Last line: each server's largest memory growth in MiB over both.
set -euo pipefail

build=${1:-build}
httpd=$(realpath "$build/bench/kavo-httpd")
here=$(dirname "$(realpath "$0")")
pipeline_seconds=${PIPELINE_SECONDS:-15}
slow_seconds=${SLOW_SECONDS:-75}
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
ulimit -n 8192 2>/dev/null || true

echo "abuse: files in $work"
root=$work/root
mkdir -p "$root"
head -c $((3 * 1024 * 1024)) /dev/urandom > "$root/big.bin"
echo hello > "$root/small.txt"

port_kavo=18091 port_nginx=18092
"$httpd" --root "$root" --port $port_kavo & pids+=($!); kavo_pid=$!
cat > "$work/nginx.conf" <<CONF
master_process off;
daemon off;
worker_rlimit_nofile 8192;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    client_header_timeout 60s;
    client_body_temp_path $work;
    proxy_temp_path $work;
    fastcgi_temp_path $work;
    uwsgi_temp_path $work;
    scgi_temp_path $work;
    server { listen 127.0.0.1:$port_nginx; root $root; }
}
CONF
nginx -c "$work/nginx.conf" & pids+=($!); nginx_pid=$!
sleep 1

mb() { awk -v kb="$1" 'BEGIN { printf "%.1f", kb / 1024 }'; }
field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k { print $2 }'; }
declare -A growth=([kavo]=0 [nginx]=0)
report() { # name scenario result
    local base peak grown
    base=$(field "$3" base_kb) peak=$(field "$3" peak_kb)
    grown=$((peak - base))
    (( grown > growth[$1] )) && growth[$1]=$grown
    printf '%-6s %-10s rss %7s -> %7s MiB (+%s)  fresh %s/%s answered' "$1" "$2" "$(mb "$base")" \
        "$(mb "$peak")" "$(mb $grown)" "$(field "$3" fresh_ok)" "$(field "$3" fresh_total)"
    if [[ $2 == pipelined ]]; then
        printf '  requests sent %s\n' "$(field "$3" sent)"
    else
        printf '  slow sockets closed %s/%s (all by %ss)\n' "$(field "$3" closed)" "$(field "$3" sockets)" \
            "$(field "$3" all_closed_at)"
    fi
}

echo "abuse: (a) 20000 pipelined requests for 3 MiB, answers unread, ${pipeline_seconds}s each"
for name in kavo nginx; do
    pid_var=${name}_pid port_var=port_$name
    result=$(python3 "$here/abuse.py" pipeline "${!pid_var}" "${!port_var}" 20000 "$pipeline_seconds")
    report $name pipelined "$result"
done

echo "abuse: (b) 1000 connections sending a header byte every 10 s, ${slow_seconds}s, both at once"
python3 "$here/abuse.py" slowloris "$kavo_pid" $port_kavo 1000 "$slow_seconds" > "$work/slow-kavo" &
slow_kavo=$!
python3 "$here/abuse.py" slowloris "$nginx_pid" $port_nginx 1000 "$slow_seconds" > "$work/slow-nginx"
wait $slow_kavo
report kavo slowloris "$(cat "$work/slow-kavo")"
report nginx slowloris "$(cat "$work/slow-nginx")"

echo "ABUSE kavo $(mb ${growth[kavo]}) nginx $(mb ${growth[nginx]})"

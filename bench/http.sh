#!/usr/bin/env bash
# Requests per second of kavo-httpd, nginx and python's http.server over one tree of files,
# loose and inside a package. Last line: the lowest kavo/nginx ratio over the loose files.
set -euo pipefail

build=${1:-build}
httpd=$(realpath "$build/bench/kavo-httpd")
duration=${DURATION:-5}
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

echo "http: building the tree in $work"
root=$work/root
mkdir -p "$root/pkgsrc/files"
for size in 1 64 1024; do
    head -c $((size * 1024)) /dev/urandom > "$root/f$size.bin"
    cp "$root/f$size.bin" "$root/pkgsrc/files/"
done
(cd "$root/pkgsrc" && zip -q -r -0 "$root/pkg.zip" files)

port_kavo=18081 port_nginx=18082 port_py=18083
"$httpd" --root "$root" --port $port_kavo & pids+=($!); kavo_pid=$!
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work;
    proxy_temp_path $work;
    fastcgi_temp_path $work;
    uwsgi_temp_path $work;
    scgi_temp_path $work;
    server { listen 127.0.0.1:$port_nginx; root $root; }
}
CONF
nginx -c "$work/nginx.conf" & pids+=($!)
(cd "$root" && exec python3 -m http.server --bind 127.0.0.1 $port_py >/dev/null 2>&1) & pids+=($!)
sleep 1

rps() { wrk -t2 -c64 -d"${duration}s" "$1" | awk '/Requests\/sec/ {print $2}'; }

printf '%-18s %12s %12s %12s\n' case kavo nginx python
lowest=""
for size in 1 64 1024; do
    k=$(rps "http://127.0.0.1:$port_kavo/f$size.bin")
    n=$(rps "http://127.0.0.1:$port_nginx/f$size.bin")
    p=$(rps "http://127.0.0.1:$port_py/f$size.bin")
    printf '%-18s %12s %12s %12s\n' "loose ${size}KiB" "$k" "$n" "$p"
    ratio=$(awk -v k="$k" -v n="$n" 'BEGIN { printf "%.2f", k / n }')
    lowest=$(awk -v a="$ratio" -v b="${lowest:-999}" 'BEGIN { print (a < b) ? a : b }')
done
for size in 1 64 1024; do
    k=$(rps "http://127.0.0.1:$port_kavo/pkg/files/f$size.bin")
    printf '%-18s %12s %12s %12s\n' "package ${size}KiB" "$k" "-" "-"
done
echo "kavo-httpd peak RSS: $(awk '/VmHWM/ {print $2, $3}' /proc/$kavo_pid/status)"
echo "RATIO $lowest vs nginx"

#!/usr/bin/env bash
# Downloads a 64 MiB random file from nginx on loopback with brellin-get over 8 connections and
# compares it byte for byte with the served file. Usage: demo-download.sh PATH-TO-brellin-get
set -euo pipefail
getter=${1:?usage: demo-download.sh PATH-TO-brellin-get}
nginx=/usr/sbin/nginx
if [ ! -x "$nginx" ]; then
    echo "nginx is not installed (scripts/install-deps.sh test installs it)" >&2
    exit 1
fi
work=$(mktemp -d /tmp/brellin-demo-XXXXXX)
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
mkdir -p "$work/www" "$work/temp" "$work/home" "$work/out"
head -c $((64 * 1024 * 1024)) /dev/urandom > "$work/www/demo.bin"
cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    access_log $work/access.log;
    client_body_temp_path $work/temp;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
"$nginx" -c "$work/nginx.conf" -p "$work" &
nginx_pid=$!
for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    sleep 0.1
done

echo "Downloading 64 MiB from http://127.0.0.1:$port/demo.bin with 8 connections..."
start=$(date +%s.%N)
saved=$(HOME="$work/home" XDG_CONFIG_HOME= XDG_DATA_HOME= "$getter" "http://127.0.0.1:$port/demo.bin" \
    -c 8 -o "$work/out" | tail -n 1)
end=$(date +%s.%N)
echo "Saved to $saved in $(python3 -c "print(round($end - $start, 2))") s"
if cmp "$work/www/demo.bin" "$saved"; then
    echo "Result: the downloaded file is byte-identical to the served one."
else
    echo "Result: the downloaded file DIFFERS from the served one." >&2
    exit 1
fi

#!/usr/bin/env bash
# New TLS connections per second, one request each ("Connection: close"):
# the host's console listener against nginx serving a static 200 over TLS
# with the same certificate, both on loopback, both measured with wrk.
#
#   tools/bench/tls-vs-nginx.sh [seconds per run] [connections] [threads]
#
# BENCH_BIN overrides the path of bench_tls_connections; KEY_TYPE=rsa uses
# an RSA-2048 certificate instead of ECDSA P-256.
set -euo pipefail
secs=${1:-10}
conns=${2:-32}
threads=${3:-4}
root=$(cd "$(dirname "$0")/../.." && pwd)

bin=${BENCH_BIN:-}
if [ -z "$bin" ]; then
  for b in "$root"/build*/bench/bench_tls_connections; do
    [ -x "$b" ] && bin=$b && break
  done
fi
[ -n "$bin" ] && [ -x "$bin" ] || { echo "bench_tls_connections not found (build with -DDROVIX_BENCH=ON or set BENCH_BIN)" >&2; exit 2; }
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 2; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx is not installed" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# One certificate for both servers.
if [ "${KEY_TYPE:-ec}" = rsa ]; then keyopt=(-newkey rsa:2048); else keyopt=(-newkey ec -pkeyopt ec_paramgen_curve:P-256); fi
openssl req -x509 "${keyopt[@]}" -nodes -days 2 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
  -keyout "$work/privkey.pem" -out "$work/fullchain.pem" >/dev/null 2>&1

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
wait_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}

drovix_port=$(free_port)
"$bin" "$work" "$drovix_port" >"$work/drovix.log" 2>&1 &
pids+=($!)

nginx_port=$(free_port)
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes auto;
daemon off;
master_process on;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port ssl;
    ssl_certificate $work/fullchain.pem;
    ssl_certificate_key $work/privkey.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    location / { default_type application/json; return 200 '{"ok":true}'; }
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/logs/error.log" >"$work/nginx.out" 2>&1 &
pids+=($!)

wait_port "$drovix_port"
wait_port "$nginx_port"

# Requests per second as wrk reports them (each request on a new connection).
measure() {
  local out
  out=$(wrk -t"$threads" -c"$conns" -d"${secs}s" -H "Connection: close" "https://127.0.0.1:$1/")
  echo "$out" >&2
  echo "$out" | awk '/^Requests\/sec:/ {print $2}'
}

echo "== drovix console listener on :$drovix_port" >&2
drovix_rps=$(measure "$drovix_port")
echo "== nginx on :$nginx_port" >&2
nginx_rps=$(measure "$nginx_port")

ratio=$(awk -v a="$drovix_rps" -v b="$nginx_rps" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
echo "new TLS connections/s (one request each, ${secs}s, $conns connections): drovix $drovix_rps, nginx $nginx_rps, ratio drovix/nginx $ratio"

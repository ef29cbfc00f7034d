#!/usr/bin/env bash
# Makes the demo home on first run: a self-signed certificate, host.json and
# the console password. Existing files are kept.
set -euo pipefail
home=$1 port=$2
certs="$home/fleetcerts"
mkdir -p "$certs" "$home/bin"
chmod 700 "$certs"
if [ ! -s "$certs/fullchain.pem" ] || [ ! -s "$certs/privkey.pem" ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
    -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:10.0.9.1" \
    -keyout "$certs/privkey.pem" -out "$certs/fullchain.pem" 2>/dev/null
  chmod 600 "$certs/privkey.pem"
fi
if [ ! -f "$certs/host.json" ]; then
  cat > "$certs/host.json" <<JSON
{"hostname": "localhost", "console_port": $port,
 "agent_bin": "$(cd "$home/.." && pwd)/build/agent/drovix-agent",
 "tarvo": "$(cd "$home/.." && pwd)/tools/standins/tarvo",
 "clickhouse": {"url": "http://127.0.0.1:8123/"},
 "origin": {"enabled": true}}
JSON
fi
if [ ! -s "$certs/fleet.pass" ]; then
  head -c 9 /dev/urandom | base64 | tr '+/' '-_' | tr -d '=' > "$certs/fleet.pass"
  chmod 600 "$certs/fleet.pass"
fi

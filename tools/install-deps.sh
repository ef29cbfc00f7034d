#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the local run need.
# Safe to run again: it only asks apt for what is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git
  libssl-dev openssl libcurl4-openssl-dev curl nlohmann-json3-dev
  libre2-dev libpcre2-dev libicu-dev libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  clickhouse-server clickhouse-client
  iproute2 iptables conntrack procps passwd util-linux hostname
  nginx-light wrk python3 socat
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root to install packages" >&2
  exit 1
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
# nginx is only a benchmark peer: never leave the packaged service running.
if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
  systemctl disable --now nginx >/dev/null 2>&1 || true
fi
pkill -x nginx >/dev/null 2>&1 || true
exit 0

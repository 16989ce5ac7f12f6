#!/usr/bin/env bash
# Installs the Debian packages this project builds with, only those missing.
# Runs as root on Debian 12; `apt-get update` runs first whenever something is missing.
set -euo pipefail

packages=(
  g++ cmake make
  libsimdjson-dev libcli11-dev libspdlog-dev libfmt-dev
  libgtest-dev libbenchmark-dev libabsl-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

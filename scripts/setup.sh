#!/usr/bin/env bash
# Installs what building, testing and running Zendrix needs on Debian 12, as root.
# Quick when everything is already there: it only asks dpkg.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev libqt6uitools6 libqt6svg6 libgl-dev
  xvfb xauth x11-apps imagemagick
  gzip xz-utils zstd time shellcheck
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: run as root (or install them) and try again" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

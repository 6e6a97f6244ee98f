#!/usr/bin/env bash
# Sets up the machine, builds Zendrix (Release) and starts it. Files given as arguments are queued.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZDX_BUILD_TESTS=OFF -DZDX_BUILD_APP=ON >/dev/null
cmake --build build/release -j "$(nproc)"

app=build/release/app/zendrix
if [ ! -x "$app" ]; then
  echo "Built the engine and the command-line tool: build/release/cli/zdx (try: build/release/cli/zdx --help)."
  exit 0
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display is available, so the Zendrix window cannot be shown." >&2
  echo "Use the command-line tool instead: build/release/cli/zdx --help" >&2
  exit 1
fi
exec "$app" "$@"

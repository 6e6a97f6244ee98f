#!/usr/bin/env bash
# Takes docs/screenshot.png: starts Zendrix on a virtual X display with real files queued (two
# texts, a recording, and a damaged .zdx that ends in "Error"), waits until the worker is done
# and captures the window.
#
# Usage: scripts/screenshot.sh [path/to/zendrix]
# Without an argument it uses build/release/app/zendrix and builds it first when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh  # Xvfb, xwd and convert as well as the build tools
root=$PWD
corpus=$root/../shared/corpus
out=$root/docs/screenshot.png

app=${1:-build/release/app/zendrix}
if [ ! -x "$app" ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZDX_BUILD_TESTS=OFF -DZDX_BUILD_APP=ON >/dev/null
  cmake --build build/release --target zendrix -j "$(nproc)"
fi
app=$(realpath "$app")

work=$(mktemp -d /tmp/zendrix-screenshot.XXXXXX)
xvfb_pid=
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Writable copies of real files, so that the outputs land beside them.
mkdir "$work/Documents"
cp "$corpus/text/alice29.txt" "$corpus/audio/Front_Center.wav" "$corpus/text/cp.html" \
  "$work/Documents/"
chmod u+w "$work"/Documents/*
# A valid header (stored extension "txt", filter 1, 16 bytes) before bytes that are no stream.
printf 'ZDX1\003txt\001\020\000\000\000\000\000\000\000not a stream' >"$work/Documents/notes.zdx"

# Xvfb picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "screenshot: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
display=:$(head -n 1 "$work/display")

# The damaged file comes before the last one, so the last output tells that all are done.
cd "$work/Documents"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$app" alice29.txt Front_Center.wav notes.zdx cp.html \
  >"$work/app.log" 2>&1 &
app_pid=$!
cd "$root"

outputs=("$work/Documents/alice29.zdx" "$work/Documents/Front_Center.zdx" "$work/Documents/cp.zdx")
done=
for _ in $(seq 1 600); do
  done=yes
  for f in "${outputs[@]}"; do
    [ -f "$f" ] || done=
  done
  [ -n "$done" ] && break
  if ! kill -0 "$app_pid" 2>/dev/null; then break; fi
  sleep 0.2
done
if [ -z "$done" ]; then
  echo "screenshot: the jobs did not finish" >&2
  cat "$work/app.log" >&2
  exit 1
fi
# The display takes the worker's last post within a tick or two; give it time to repaint.
sleep 1

mkdir -p "$(dirname "$out")"
xwd -display "$display" -name Zendrix -silent | convert xwd:- "$out"
echo "screenshot: wrote $out"

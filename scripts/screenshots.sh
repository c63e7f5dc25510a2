#!/usr/bin/env bash
# Pictures for the README: the program on the demo configuration under a
# virtual X server, photographed twice a few seconds apart so that the values
# can be seen moving. Writes docs/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qv_need_packages "${QV_BUILD_PACKAGES[@]}" xvfb xauth x11-utils imagemagick fonts-dejavu-core

if [ "${1:-}" != "--inside" ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
  cmake --build build/release -j "$(nproc)" --target quorvane
  mkdir -p docs/screenshots
  exec xvfb-run -a -s "-screen 0 960x640x24" "$0" --inside
fi

# Inside the virtual display from here on.
program=build/release/app/frame/quorvane
log=$(mktemp)
"$program" --tcp-port 15020 examples/demo.csv 2>"$log" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$log"' EXIT

# The main window maps at once; the group windows follow the restore.
for _ in $(seq 100); do
  xwininfo -root -tree 2>/dev/null | grep -q '"Quorvane - GROUP' && break
  kill -0 $pid 2>/dev/null || { cat "$log"; exit 1; }
  sleep 0.1
done
sleep 2 # the simulation's first values arrive within its update rates
import -window root docs/screenshots/main-window.png
sleep 3
import -window root docs/screenshots/main-window-later.png
echo "docs/screenshots/main-window.png docs/screenshots/main-window-later.png"

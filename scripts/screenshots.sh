#!/usr/bin/env bash
# Pictures for the README: the program on the demo configuration under a
# virtual X server, photographed twice a few seconds apart so that the values
# can be seen moving. Writes docs/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qv_need_packages "${QV_BUILD_PACKAGES[@]}" xvfb xauth x11-utils imagemagick fonts-dejavu-core xdotool poppler-utils

if [ "${1:-}" != "--inside" ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
  cmake --build build/release -j "$(nproc)" --target quorvane
  mkdir -p docs/screenshots
  exec xvfb-run -a -s "-screen 0 960x640x24" "$0" --inside
fi

# Inside the virtual display from here on.
program=build/release/app/frame/quorvane
log=$(mktemp)
# A port of its own, so that a gateway already serving does not show up as
# a message box in the picture. Without an installed printer, File Print
# writes quorvane.pdf into a scratch home.
home=$(mktemp -d)
HOME="$home" "$program" --tcp-port $((20000 + RANDOM % 20000)) examples/demo.csv 2>"$log" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$log" "$home"' EXIT

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

# The item dialogs. Without a window manager the keyboard reaches the window
# under the pointer, and an open menu takes keys itself: menus are opened
# with a click on the menu bar, entries picked by their mnemonic.
wait_window() { # title
  for _ in $(seq 100); do
    xdotool search --name "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "no window \"$1\"" >&2; exit 1
}
keys() { xdotool key --delay 80 "$@"; sleep 0.5; }
menu() { # x of the menu title, mnemonic
  xdotool mousemove "$1" 8 click 1; sleep 0.5; keys "$2"
}
menu 137 a                                       # Item > Add: the tag browser
wait_window '^Dialog$'
xdotool mousemove 470 300
keys Tab Down Right Down Down Down Right Down Down Down # Root, Setpoints, Float
import -window root docs/screenshots/tag-browser.png
keys Tab space                                   # Add Item: the mapping dialog
wait_window '^Modbus Data to Simulate$'
import -window root docs/screenshots/point-mapping.png
keys Escape Escape                               # Cancel, Done
menu 20 v                                        # File > Print Preview
wait_window 'Print Preview'
preview=$(xdotool search --name 'Print Preview' | head -1)
xdotool windowsize "$preview" 900 600 windowmove "$preview" 30 30
sleep 1
import -window root docs/screenshots/print-preview.png
xdotool mousemove 400 300
keys Escape
menu 20 p                                        # File > Print, to PDF
wait_window '^Print$'
xdotool mousemove 470 280
keys Return
for _ in $(seq 100); do [ -s "$home/quorvane.pdf" ] && break; sleep 0.1; done
sleep 1
# The top of the first page at 100 dpi.
pdftoppm -png -r 100 -f 1 -l 1 -W 827 -H 260 -singlefile "$home/quorvane.pdf" docs/screenshots/printout
echo "docs/screenshots/tag-browser.png docs/screenshots/point-mapping.png"
echo "docs/screenshots/print-preview.png docs/screenshots/printout.png"

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
program=build/release/quorvane/quorvane
log=$(mktemp)
# A port of its own, so that a gateway already serving does not show up as
# a message box in the picture. Without an installed printer, File Print
# writes quorvane.pdf into a scratch home.
home=$(mktemp -d)
tcp_port=$((20000 + RANDOM % 20000))
HOME="$home" "$program" --tcp-port "$tcp_port" examples/demo.csv 2>"$log" &
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

# The frame's dialogs and windows (menu titles of the group menu set: OPC
# Server at 77, Modbus at 189).
shot() { import -window root "docs/screenshots/$1.png"; echo "docs/screenshots/$1.png"; }
xdotool mousemove 400 300
menu 189 c; keys 3                               # Modbus > Connect > COMM 3
wait_window '^Setup Comm Port 3$'
shot serial-setup
keys Escape
menu 77 s                                        # OPC Server > Svr Status
wait_window '^ Demo.Server.1$'
shot server-status
keys Escape
menu 77 g; keys a                                # OPC Server > Group > Add
wait_window '^Add Group$'
xdotool type --delay 60 Line3; keys Tab; xdotool type --delay 60 250; sleep 0.3
shot add-group
keys Return                                      # the new group's window
for _ in $(seq 50); do xwininfo -root -tree | grep -q 'Line3 (Update Rate = 250)' && break; sleep 0.1; done
menu 77 l                                        # OPC Server > OPC API Log
wait_window '^OPC API Log$'
sleep 0.5
shot api-log
# A master polling four registers and eight coils of slave 1 twice a second,
# with a read past the block now and then (an exception reply); then
# Modbus > Traffic, which opens on the first link with the frames so far.
QV_TCP_PORT=$tcp_port python3 - <<'PY' &
import os, socket, struct, time
s = socket.create_connection(("127.0.0.1", int(os.environ["QV_TCP_PORT"])), timeout=2)
for tid in range(1, 40):
    s.sendall(struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 9, 4))
    s.recv(64)
    s.sendall(struct.pack(">HHHBBHH", tid + 1000, 0, 6, 1, 1, 0, 8))
    s.recv(64)
    if tid % 4 == 0:
        s.sendall(struct.pack(">HHHBBHH", tid + 2000, 0, 6, 1, 3, 9990, 2))
        s.recv(64)
    time.sleep(0.25)
PY
master=$!
sleep 2
menu 189 t
wait_window '^Modbus Traffic$'
traffic=$(xdotool search --name '^Modbus Traffic$' | head -1)
xdotool windowmove "$traffic" 10 20
sleep 3
shot traffic-window
wait $master || true
echo "screenshots: traffic done" >&2

# Connect to OPC Server, from a second program without a configuration.
kill -TERM $pid
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then echo "quorvane did not end on SIGTERM" >&2; exit 1; fi
wait $pid 2>/dev/null || true
HOME="$home" "$program" --tcp-port 15021 2>"$log" &
pid=$!
xdotool search --sync --name '^Quorvane$' >/dev/null
sleep 2
xdotool mousemove 400 300
menu 77 c                                        # OPC Server > Connect
wait_window '^Connect to OPC Server$'
xdotool mousemove 500 262 click 1; sleep 0.7      # the server list opened
shot server-connect
keys Escape

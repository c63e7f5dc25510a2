#!/usr/bin/env bash
# Pictures for the README: the program on the demo configuration under a
# virtual X server with a window manager (so that windows have their
# captions), photographed twice a few seconds apart so that the values can be
# seen moving. Writes docs/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qv_need_packages "${QV_BUILD_PACKAGES[@]}" xvfb xauth x11-utils imagemagick fonts-dejavu-core xdotool poppler-utils \
                 openbox iproute2

if [ "${1:-}" != "--inside" ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
  cmake --build build/release -j "$(nproc)" --target quorvane
  mkdir -p docs/screenshots
  exec xvfb-run -a -s "-screen 0 960x640x24" "$0" --inside
fi

# Inside the virtual display from here on. The window manager first: it
# announces itself on the root window once it manages the screen.
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  kill -0 $wm 2>/dev/null || { echo "openbox did not start" >&2; exit 1; }
  sleep 0.1
done

program=build/release/quorvane/quorvane
log=$(mktemp)
# A port of its own, so that a gateway already serving does not show up as
# a message box in the picture. Without an installed printer, File Print
# writes quorvane.pdf into a scratch home.
home=$(mktemp -d)
tcp_port=$((20000 + RANDOM % 20000))
pid=
stop_program() { # and wait for it to end; a busy machine may take a while
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then cat "$log" >&2; echo "quorvane did not end on SIGTERM" >&2; exit 1; fi
  wait "$pid" 2>/dev/null || true
  pid=
}
trap 'stop_program; kill -TERM $wm 2>/dev/null; wait $wm 2>/dev/null; rm -rf "$log" "$home"' EXIT

wait_window() { # title pattern [how many]
  for _ in $(seq 300); do
    [ "$(xdotool search --onlyvisible --name "$1" 2>/dev/null | wc -l)" -ge "${2:-1}" ] && return 0
    kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; echo "quorvane ended" >&2; exit 1; }
    sleep 0.1
  done
  echo "no window \"$1\"" >&2; exit 1
}
shot() { sleep 0.5; import -window root "docs/screenshots/$1.png"; echo "docs/screenshots/$1.png"; }
# Keys go to the window that has the focus, as the window manager gives it:
# new dialogs take it themselves, the main window is activated before each
# menu. A menu is opened by its title's mnemonic (alt+letter), its entries
# are picked by theirs.
keys() { xdotool key --delay 80 "$@"; sleep 0.5; }
main_window() { xdotool search --onlyvisible --name '^Quorvane( - .*)?$' | head -1; }
menu() { # menu mnemonic, entry mnemonics...
  xdotool windowactivate --sync "$(main_window)"; sleep 0.3
  keys "alt+$1"; shift; keys "$@"
}

# A message with its cause: the program started on a file that is not there
# (the message box and the main window share the caption).
HOME="$home" "$program" --tcp-port "$tcp_port" /nonexistent/plant.csv 2>"$log" &
pid=$!
wait_window '^Quorvane$' 2
shot file-open-error
keys Return
stop_program

HOME="$home" "$program" --tcp-port "$tcp_port" examples/demo.csv 2>"$log" &
pid=$!
# The main window maps at once; the group windows follow the restore.
wait_window '^Quorvane - '
sleep 2 # the simulation's first values arrive within its update rates
shot main-window
sleep 3
shot main-window-later

# The item dialogs.
menu i a                                          # Item > Add: the tag browser
wait_window '^Dialog$'
keys Tab Down Right Down Down Down Right Down Down Down # Root, Setpoints, Float
shot tag-browser
keys Tab space                                    # Add Item: the mapping dialog
wait_window '^Modbus Data to Simulate$'
shot point-mapping
keys Escape; sleep 0.3; keys Escape              # Cancel, Done
menu f v                                          # File > Print Preview
wait_window 'Print Preview'
preview=$(xdotool search --onlyvisible --name 'Print Preview' | head -1)
xdotool windowsize "$preview" 900 560 windowmove "$preview" 20 20
sleep 1
shot print-preview
xdotool windowactivate --sync "$preview"; keys Escape
menu f p                                          # File > Print, to PDF
wait_window '^Print$'
keys Return
for _ in $(seq 100); do [ -s "$home/quorvane.pdf" ] && break; sleep 0.1; done
sleep 1
# The top of the first page at 100 dpi.
pdftoppm -png -r 100 -f 1 -l 1 -W 827 -H 260 -singlefile "$home/quorvane.pdf" docs/screenshots/printout
echo "docs/screenshots/printout.png"

# The frame's dialogs and windows.
menu m c 3                                        # Modbus > Connect > COMM 3
wait_window '^Setup Comm Port 3$'
shot serial-setup
keys Escape
menu s s                                          # OPC Server > Svr Status
wait_window '^ Demo.Server.1$'
shot server-status
keys Escape
menu s g a                                        # OPC Server > Group > Add
wait_window '^Add Group$'
xdotool type --delay 60 Line3; keys Tab; xdotool type --delay 60 250; sleep 0.3
shot add-group
keys Return                                       # the new group's window
wait_window 'Line3 \(Update Rate = 250\)'
menu s l                                          # OPC Server > OPC API Log
wait_window '^OPC API Log$'
shot api-log

# A master polling four registers and eight coils of slave 1 four times a
# second, with a read past the block now and then (an exception reply); then
# Modbus > Traffic, which opens on the first link with the frames so far. The
# master asks the system which port the program listens on rather than
# trusting the one it was given.
port=
for _ in $(seq 100); do
  port=$(ss -Hltnp 2>/dev/null | awk -v pid="pid=$pid," 'index($0, pid) { n = split($4, a, ":"); print a[n]; exit }')
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "quorvane serves no Modbus/TCP port" >&2; exit 1; }
[ "$port" = "$tcp_port" ] || echo "quorvane listens on $port, not $tcp_port" >&2
QV_TCP_PORT=$port python3 - <<'PY' &
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
menu m t                                          # Modbus > Traffic
wait_window '^Modbus Traffic$'
traffic=$(xdotool search --onlyvisible --name '^Modbus Traffic$' | head -1)
xdotool windowmove "$traffic" 10 20
sleep 3
shot traffic-window
wait $master || { echo "the polling master failed" >&2; exit 1; }
stop_program

# Connect to OPC Server, from a second program without a configuration.
HOME="$home" "$program" --tcp-port "$tcp_port" 2>"$log" &
pid=$!
wait_window '^Quorvane$'
sleep 1
menu s c                                          # OPC Server > Connect
wait_window '^Connect to OPC Server$'
keys alt+Down                                     # the server list opened
shot server-connect
keys Escape Escape

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the gateway on its built-in demo:
# the simulation OPC server mapped to Modbus/TCP on port 1502.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qv_need_packages "${QV_BUILD_PACKAGES[@]}"

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

program=build/release/quorvane/quorvane
if [ ! -x "$program" ]; then
  echo "The gateway program is not built yet; the libraries are in build/release." >&2
  exit 0
fi
mode=()
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || mode=(--headless)
cat <<MSG
Quorvane serves the demo on Modbus/TCP port 1502, slave 1:
  holding registers 1 Speed, 2-3 Temp (float, low word first), 4 Count,
    10 to 14 setpoints that masters may write (10 Short, 11 Unsigned,
    12-13 Float, 14 Level scaled 0-1000 for 0-100 %);
  input registers 1 Level (0-4095 for 0-100 %), 2 Stamp; coil 1 Run; input 1 Valve.
Read them from another terminal, for example with mbpoll (apt-get install mbpoll):
  mbpoll -m tcp -p 1502 -a 1 -r 1 -c 14 -1 127.0.0.1
  mbpoll -m tcp -p 1502 -a 1 -t 3 -r 1 -c 2 -1 127.0.0.1
and write a setpoint with: mbpoll -m tcp -p 1502 -a 1 -r 10 127.0.0.1 1234
Stop with Ctrl+C.
MSG
exec "$program" "${mode[@]}" --tcp-port 1502 examples/demo.csv

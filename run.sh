#!/usr/bin/env bash
# Installs what is missing, builds, and runs the gateway on its built-in demo:
# the simulation OPC server mapped to Modbus/TCP on port 1502.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qv_need_packages "${QV_BUILD_PACKAGES[@]}"

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

program=build/release/app/frame/quorvane
if [ ! -x "$program" ]; then
  echo "The gateway program is not built yet; the libraries are in build/release." >&2
  exit 0
fi
mode=()
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || mode=(--headless)
cat <<MSG
Quorvane serves the demo on Modbus/TCP port 1502 (slave 1). Read it from
another terminal, for example: mbpoll -m tcp -p 1502 -a 1 -r 1 -c 10 127.0.0.1
Stop with Ctrl+C.
MSG
exec "$program" "${mode[@]}" --tcp-port 1502 examples/demo.csv

#!/usr/bin/env bash
# Modbus/TCP requests per second of the windowed program with the traffic
# window closed, then open and following the link, each run three times in turn;
# prints both medians and their ratio. The server runs on one core, the load
# generator (8 clients, 100-register reads) on another.
#
#   bench/compare_traffic_window.sh [seconds per run, default 10]
# Environment: QV_BENCH_DIR (Release build directory, default build/traffic-bench),
# QV_SERVER_CPU (default 0), QV_LOAD_CPU (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
dir=${QV_BENCH_DIR:-build/traffic-bench}
server_cpu=${QV_SERVER_CPU:-0}
load_cpu=${QV_LOAD_CPU:-1}

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=ON >/dev/null
cmake --build "$dir" --target traffic_window_server tcp_load >/dev/null

source bench/ports.sh

# One run: prints the requests per second tcp_load measured.
run() {
  local port pid out
  port=$(free_port)
  QT_QPA_PLATFORM=offscreen taskset -c "$server_cpu" "$dir/bench/traffic_window_server" "$port" $((seconds + 4)) "$@" 2>/dev/null &
  pid=$!
  await_port "$port"
  out=$(taskset -c "$load_cpu" "$dir/bench/tcp_load" --port "$port" --clients 8 --seconds "$seconds" --count 100)
  wait "$pid"
  echo "$out" | sed -n 's/.*"rps":\([0-9.]*\).*/\1/p'
}

closed=()
open=()
for _ in 1 2 3; do
  closed+=("$(run)")
  open+=("$(run --window)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (a[int((NR+1)/2)] + a[int(NR/2)+1]) / 2}'; }
c=$(median "${closed[@]}")
o=$(median "${open[@]}")
echo "closed: ${closed[*]} req/s (median $c)"
echo "open and following: ${open[*]} req/s (median $o)"
awk -v c="$c" -v o="$o" 'BEGIN { printf "open/closed: %.3f\n", o / c }'

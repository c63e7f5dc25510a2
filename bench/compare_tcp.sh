#!/usr/bin/env bash
# Runs Pellacor's Modbus/TCP server and the libmodbus reference server side by
# side, each pinned to one core and the load generator to another, and prints
# requests per second, latency (median, 99th percentile, largest), time-outs
# (no answer within 1000 ms) and the server's CPU time per request for each
# case, with the ratios ours/libmodbus. Every case's clients connect at the
# same moment. At 32 clients no request of ours may take over 100 ms and none
# may time out: the script says so and exits with status 1 otherwise.
#
#   bench/compare_tcp.sh [seconds per case, default 10]
# Environment: QV_BENCH_DIR (build directory, default build/tcp-bench),
# QV_SERVER_CPU (default 0), QV_LOAD_CPU (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
dir=${QV_BENCH_DIR:-build/tcp-bench}
server_cpu=${QV_SERVER_CPU:-0}
load_cpu=${QV_LOAD_CPU:-1}

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_GUI=OFF >/dev/null
cmake --build "$dir" --target tcp_bench_server tcp_load ref_server_libmodbus >/dev/null

source bench/ports.sh

ours_port=$(free_port)
ref_port=$(free_port)
while [ "$ref_port" = "$ours_port" ]; do ref_port=$(free_port); done

taskset -c "$server_cpu" "$dir/bench/tcp_bench_server" "$ours_port" & ours_pid=$!
taskset -c "$server_cpu" "$dir/bench/ref_server_libmodbus" "$ref_port" & ref_pid=$!
cleanup() { kill "$ours_pid" "$ref_pid" 2>/dev/null || true; wait 2>/dev/null || true; }
trap cleanup EXIT
sleep 0.5

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; } # user + system
field() { sed -n "s/.*\"$2\":\([0-9.]*\).*/\1/p" <<<"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

run() { # pid port load-arguments... -> "json|cpu_us_per_request"
  local pid=$1 port=$2; shift 2
  local before after json requests
  before=$(cpu_ticks "$pid")
  json=$(taskset -c "$load_cpu" "$dir/bench/tcp_load" --port "$port" --seconds "$seconds" "$@")
  after=$(cpu_ticks "$pid")
  requests=$(( $(field "$json" requests) + $(field "$json" bad_requests) ))
  echo "$json|$(awk -v t=$((after - before)) -v hz="$ticks" -v n="$requests" \
       'BEGIN { if (n > 0) printf "%.2f", t * 1e6 / hz / n; else print "-" }')"
}

fmt='%-34s %9s %9s %5s %8s %8s %8s %8s %5s %8s %8s %4s %4s %7s %7s\n'
printf "$fmt" case ours_rps ref_rps ratio ours_p50 ref_p50 ours_p99 ref_p99 ratio ours_max ref_max \
  o_to r_to o_cpu r_cpu
printf "$fmt" "" "req/s" "req/s" "" us us us us "" us us "" "" us/req us/req

report() { # label, load arguments...
  local label=$1; shift
  local a b ja jb
  a=$(run "$ours_pid" "$ours_port" "$@")
  b=$(run "$ref_pid" "$ref_port" "$@")
  ja=${a%|*}; jb=${b%|*}
  printf "$fmt" "$label" \
    "$(field "$ja" rps)" "$(field "$jb" rps)" "$(ratio "$(field "$ja" rps)" "$(field "$jb" rps)")" \
    "$(field "$ja" p50_us)" "$(field "$jb" p50_us)" "$(field "$ja" p99_us)" "$(field "$jb" p99_us)" \
    "$(ratio "$(field "$ja" p99_us)" "$(field "$jb" p99_us)")" "$(field "$ja" max_us)" "$(field "$jb" max_us)" \
    "$(field "$ja" timeouts)" "$(field "$jb" timeouts)" "${a##*|}" "${b##*|}"
  last_ours=$ja; last_ref=$jb
}

report "read 100 registers, 1 client" --function 3 --count 100 --clients 1
base_ours=$(field "$last_ours" rps); base_ref=$(field "$last_ref" rps)
report "read 100 registers, 8 clients" --function 3 --count 100 --clients 8
report "read 100 registers, 32 clients" --function 3 --count 100 --clients 32
burst_max=$(field "$last_ours" max_us); burst_timeouts=$(field "$last_ours" timeouts)
report "write 10 registers, 8 clients" --function 16 --count 10 --clients 8
report "read 100, 1 client + 1 bad client" --function 3 --count 100 --clients 1 --bad-clients 1
echo
echo "good client's rate beside a bad client, share of its undisturbed rate:"
echo "  ours $(ratio "$(field "$last_ours" rps)" "$base_ours")   libmodbus $(ratio "$(field "$last_ref" rps)" "$base_ref")"
echo
if awk -v m="$burst_max" -v t="$burst_timeouts" 'BEGIN { exit !(m <= 100000 && t == 0) }'; then
  echo "32 clients: ours largest latency ${burst_max} us, ${burst_timeouts} time-outs: within 100 ms, none timed out"
else
  echo "32 clients: ours largest latency ${burst_max} us, ${burst_timeouts} time-outs: OVER the 100 ms bound" >&2
  exit 1
fi

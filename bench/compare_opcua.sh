#!/usr/bin/env bash
# Sets the gateway's OPC UA client beside node-opcua's own client on the same
# subscription: the test peer (tests/peers/opcua/server.js --bench N) changes N
# Double variables every 100 ms, each client subscribes to all of them (one
# subscription, publishing and sampling 100 ms, queue 1), and the script
# prints, per client, the data changes delivered per second and the client's
# CPU time per change, with the peer's CPU over the same window: on two cores
# the peer is the ceiling near 15,000 changes/s, so a client can only be
# judged while the peer stays below 100 %.
#
#   bench/compare_opcua.sh [N or N1,N2,... (default 1000)] [seconds per run (10)] [rounds (3)]
# Environment: QV_BENCH_WARMUP (seconds before counting, default 3).
#
# Loopback only; every run is bounded (the peer by its own --run-seconds and
# this script's trap, each client by `timeout`). Medians of the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."

counts=${1:-1000}
seconds=${2:-10}
rounds=${3:-3}
warmup=${QV_BENCH_WARMUP:-3}
peer_dir=tests/peers/opcua

[ -d "$peer_dir/node_modules/node-opcua" ] ||
  { echo "compare_opcua: the OPC UA peer is not installed; run tests/peers/install.sh" >&2; exit 1; }

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; } # user + system
now() { date +%s.%N; }
kv() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'; }

peer_pid=""
peer_out=$(mktemp)
stop_peer() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  peer_pid=""
}
trap 'stop_peer; rm -f "$peer_out"' EXIT

start_peer() { # N -> sets peer_pid and url
  local n=$1 bound=$(( rounds * 2 * (warmup + seconds + 40) + 60 ))
  : >"$peer_out"
  node "$peer_dir/server.js" 0 --bench "$n" --big-folder 0 --run-seconds "$bound" --ignore-stdin --quiet \
    >"$peer_out" </dev/null &
  peer_pid=$!
  for _ in $(seq 1 300); do # up to 30 s: the peer starts slowly on a busy machine
    url=$(sed -n 's/^READY .*url=\(.*\)$/\1/p' "$peer_out")
    [ -n "$url" ] && return 0
    kill -0 "$peer_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "compare_opcua: the peer did not start" >&2
  exit 1
}

# Runs one client command; its output must contain "WINDOW begin" and a RESULT
# line. Prints "per_second cpu_us_per_change cpu_percent peer_cpu_percent".
run_client() {
  local line p0="" t0="" result=""
  while IFS= read -r line; do
    case $line in
      "WINDOW begin") p0=$(cpu_ticks "$peer_pid"); t0=$(now) ;;
      RESULT*)
        local p1 t1
        p1=$(cpu_ticks "$peer_pid"); t1=$(now)
        result="$(kv "$line" per_second) $(kv "$line" cpu_us_per_change) $(kv "$line" cpu_percent)"
        result+=" $(awk -v d=$((p1 - p0)) -v hz="$ticks" -v a="$t0" -v b="$t1" \
                  'BEGIN { printf "%.1f", d * 100 / hz / (b - a) }')"
        ;;
    esac
  done < <(timeout $((warmup + seconds + 40)) "$@" || true)
  [ -n "$result" ] || { echo "compare_opcua: no result from: $*" >&2; result="- - - -"; }
  echo "$result"
}

run_node() { run_client node "$peer_dir/bench-client.js" "$url" "$1" "$seconds" --warmup "$warmup"; }

# TODO(subscriptions): the gateway's side. Once the OPC UA backend creates
# monitored items, build bench/bench_opc_ua.cpp (through ostrand.h:
# ConnectServer(url), AddGroup at 100 ms, AddItem ns=1;s=Bench.V<k> x N,
# DataCallback deliveries counted over the window, CPU from getrusage, the
# same WINDOW/RESULT lines as bench-client.js) and run it here, e.g.
#   run_client build/opcua-bench/bench/bench_opc_ua "$url" "$1" "$seconds" --warmup "$warmup"
# Until then the "ours" rows print "-".
run_ours() { echo "- - - -"; }

fmt='%-10s %6s %12s %14s %11s %10s\n'
printf "$fmt" client N changes/s "CPU us/change" "client CPU%" "peer CPU%"
IFS=',' read -ra ns <<<"$counts"
for n in "${ns[@]}"; do
  start_peer "$n"
  ours=() node_runs=()
  for _ in $(seq 1 "$rounds"); do # alternately, so both see the same machine
    ours+=("$(run_ours "$n")")
    node_runs+=("$(run_node "$n")")
  done
  for who in ours node-opcua; do
    if [ "$who" = ours ]; then runs=("${ours[@]}"); else runs=("${node_runs[@]}"); fi
    col() { for r in "${runs[@]}"; do awk -v i="$1" '{ if ($i != "-") print $i }' <<<"$r"; done | median; }
    printf "$fmt" "$who" "$n" "$(col 1)" "$(col 2)" "$(col 3)" "$(col 4)"
  done
  stop_peer
done

#!/usr/bin/env bash
# Sets the gateway's OPC UA client beside node-opcua's own client on the same
# subscription: the test peer (tests/peers/opcua/server.js --bench N) changes N
# Double variables every 100 ms, each client subscribes to all of them (one
# subscription, publishing and sampling 100 ms, queue 1), and the script
# prints, per N, the data changes delivered per second and the client's CPU
# time per change for both clients, with the peer's CPU over the same windows:
# on two cores the peer is the ceiling near 15,000 changes/s, so a client can
# only be judged while the peer stays below 100 %.
#
#   bench/compare_opcua.sh [--security] [N or N1,N2,... (default 1000)] [seconds per run (10)] [rounds (3)]
#
# --security starts the peer with endpoints of the three secured policies and
# runs every client four times per round: over SecurityPolicy None and with
# SignAndEncrypt under Basic256Sha256, Aes128_Sha256_RsaOaep and
# Aes256_Sha256_RsaPss.
# Our client takes its security from the endpoint list file and its PKI under
# a temporary XDG_CONFIG_HOME; the peer's certificate is trusted the way an
# operator does it, by moving it from pki/rejected/ to pki/trusted/certs/.
# Environment: QV_BENCH_WARMUP (seconds before counting, default 3),
# QV_BENCH_DIR (Release build directory, default build/opcua-bench).
#
# Loopback only; every run is bounded (the peer by its own --run-seconds and
# this script's trap, each client by `timeout`). Medians of the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."

security=0
if [ "${1:-}" = --security ]; then security=1; shift; fi
counts=${1:-1000}
seconds=${2:-10}
rounds=${3:-3}
warmup=${QV_BENCH_WARMUP:-3}
peer_dir=tests/peers/opcua
dir=${QV_BENCH_DIR:-build/opcua-bench}

[ -d "$peer_dir/node_modules/node-opcua" ] ||
  { echo "compare_opcua: the OPC UA peer is not installed; run tests/peers/install.sh" >&2; exit 1; }

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_GUI=OFF -DQV_BENCH=ON >/dev/null
cmake --build "$dir" --target bench_opc_ua >/dev/null

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; } # user + system
now() { date +%s.%N; }
kv() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'; }

peer_pid=""
peer_out=$(mktemp)
work=$(mktemp -d) # the peer's PKI and our two configuration homes
stop_peer() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  peer_pid=""
}
trap 'stop_peer; rm -rf "$peer_out" "$work"' EXIT

start_peer() { # N -> sets peer_pid and url
  local n=$1 bound=$(( rounds * 2 * (3 * security + 1) * (warmup + seconds + 40) + 120 )) extra=()
  [ "$security" = 1 ] && extra=(--security "$work/peer-pki" --policies "$secured_policies")
  : >"$peer_out"
  node "$peer_dir/server.js" 0 --bench "$n" --bench-interval 100 --big-folder 0 --run-seconds "$bound" --ignore-stdin --quiet \
    "${extra[@]}" >"$peer_out" </dev/null &
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

secured_policies=Basic256Sha256,Aes128_Sha256_RsaOaep,Aes256_Sha256_RsaPss

run_node() { # N mode (None or a policy, under SignAndEncrypt)
  if [ "$2" = None ]; then
    run_client node "$peer_dir/bench-client.js" "$url" "$1" "$seconds" --warmup "$warmup" --mode None
  else
    run_client node "$peer_dir/bench-client.js" "$url" "$1" "$seconds" --warmup "$warmup" --mode SignAndEncrypt \
      --policy "$2"
  fi
}

# Our client reads the security of an endpoint from its line in
# $XDG_CONFIG_HOME/ostrand/servers.conf: one home per mode, rewritten for each
# peer (its port changes). The secured homes share one PKI folder.
home_for() { echo "$work/config-$1"; }
write_list_files() {
  mkdir -p "$(home_for None)/ostrand" "$work/pki"
  echo "$url mode=None" >"$(home_for None)/ostrand/servers.conf"
  local policy
  for policy in ${secured_policies//,/ }; do
    mkdir -p "$(home_for "$policy")/ostrand"
    ln -sfn "$work/pki" "$(home_for "$policy")/ostrand/pki"
    echo "$url mode=SignAndEncrypt policy=$policy" >"$(home_for "$policy")/ostrand/servers.conf"
  done
}

# The first secured connection is refused and leaves the peer's certificate
# in pki/rejected/; moving it to pki/trusted/certs/ trusts it. The peer takes
# any client certificate, but should it have refused ours, the same move on
# its side trusts us.
trust_peer() {
  local pki
  pki="$work/pki"
  XDG_CONFIG_HOME="$(home_for Basic256Sha256)" timeout 30 "$dir/bench/bench_opc_ua" "$url" 1 1 --warmup 0 \
    >/dev/null 2>&1 || true
  for side in "$pki" "$work/peer-pki"; do
    [ -d "$side/rejected" ] || continue
    find "$side/rejected" -maxdepth 1 -type f -exec mv -t "$side/trusted/certs" {} +
  done
}

run_ours() { # N mode
  run_client env XDG_CONFIG_HOME="$(home_for "$2")" "$dir/bench/bench_opc_ua" "$url" "$1" "$seconds" \
    --warmup "$warmup"
}

modes=(None)
[ "$security" = 1 ] && modes+=(${secured_policies//,/ })
# Per N and security: changes asked of the peer per second, delivered per
# second, client CPU per change and the peer's CPU during each client's
# windows (ours, node-opcua), and the machine's 1-minute load average after
# the rounds (other work on the machine shows there).
fmt='%-22s %6s %8s %9s %9s %10s %10s %8s %8s %5s\n'
printf "$fmt" security N asked/s "ours/s" "node/s" "ours us/ch" "node us/ch" "peer% o" "peer% n" load
IFS=',' read -ra ns <<<"$counts"
for n in "${ns[@]}"; do
  start_peer "$n"
  write_list_files
  [ "$security" = 1 ] && trust_peer
  declare -A runs=()
  for _ in $(seq 1 "$rounds"); do # alternately, so every client sees the same machine
    for mode in "${modes[@]}"; do
      runs[ours-$mode]+="$(run_ours "$n" "$mode");"
      runs[node-$mode]+="$(run_node "$n" "$mode");"
    done
  done
  # Median of field $2 over the rounds of client $1.
  col() { tr ';' '\n' <<<"${runs[$1]}" | awk -v i="$2" 'NF && $i != "-" && $i != "nan" { print $i }' | median; }
  for mode in "${modes[@]}"; do
    printf "$fmt" "$mode" "$n" $((n * 10)) "$(col "ours-$mode" 1)" "$(col "node-$mode" 1)" \
      "$(col "ours-$mode" 2)" "$(col "node-$mode" 2)" "$(col "ours-$mode" 4)" "$(col "node-$mode" 4)" "$(cut -d' ' -f1 /proc/loadavg)"
  done
  unset runs
  stop_peer
done

#!/usr/bin/env bash
# Sets the gateway's OPC UA client beside node-opcua's own client, and with
# --open62541 beside open62541's client too, on the same subscription: a
# server changes N Double variables every 100 ms, each client subscribes to
# all of them (one subscription, publishing and sampling 100 ms, queue 1), and
# the script prints, per N and for every client, the data changes delivered
# per second, the CPU time per change and the resident memory; ours also as
# ratios of open62541's; our gateway delay (a Publish response's last byte
# read off the socket to the last Modbus register stored from it, p50 and p99
# over the window's messages); and the server's CPU over the same windows: a
# client can only be judged while the server stays below 100 %.
#
#   bench/compare_opcua.sh [--security] [--open62541 DIR] [N or N1,N2,... (default 1000)] [seconds per run (10)] [rounds (3)]
#
# The server is the node-opcua test peer (tests/peers/opcua/server.js
# --bench N; on two cores its ceiling is near 15,000 changes/s), or with
# --open62541 DIR the open62541 test peer `o6peer --bench N` from DIR, which
# also holds open62541's client benchmark o6bench. DIR is built once, outside
# this tree, by the open62541 peer's build.sh; the script says so when it is
# missing.
#
# --security starts the server with endpoints of the three secured policies
# and runs our client and node-opcua's four times per round: over
# SecurityPolicy None and with SignAndEncrypt under Basic256Sha256,
# Aes128_Sha256_RsaOaep and Aes256_Sha256_RsaPss (open62541's benchmark
# client runs over None only; its server offers all three).
# Our client takes its security from the endpoint list file and its PKI under
# a temporary XDG_CONFIG_HOME; the server's certificate is trusted the way an
# operator does it, by moving it from pki/rejected/ to pki/trusted/certs/.
# Environment: QV_BENCH_WARMUP (seconds before counting, default 3),
# QV_BENCH_DIR (Release build directory, default build/opcua-bench),
# QV_BENCH_SERVER_NICE (the server's niceness, default 0). On two cores the
# server holds one while it sends a cycle's burst, and our I/O and service
# threads share the other: the delay then counts the wait for a core. With
# 10 the clients' threads go first, as when the server has a machine (or
# cores) of its own.
#
# Resident memory is the client's VmRSS read once, 0.3 s before its window
# ends, in MB. The clients run one after the other, round by round, so each
# sees the same machine; the table holds the medians of the rounds.
#
# Loopback only; every run is bounded (the server by its own time limit and
# this script's trap, each client by a deadline).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/ports.sh

security=0
o6=""
while [ $# -gt 0 ]; do
  case $1 in
    --security) security=1; shift ;;
    --open62541) o6=${2:?--open62541 needs a directory}; shift 2 ;;
    *) break ;;
  esac
done
counts=${1:-1000}
seconds=${2:-10}
rounds=${3:-3}
warmup=${QV_BENCH_WARMUP:-3}
server_nice=${QV_BENCH_SERVER_NICE:-0}
peer_dir=tests/peers/opcua
dir=${QV_BENCH_DIR:-build/opcua-bench}

[ -d "$peer_dir/node_modules/node-opcua" ] ||
  { echo "compare_opcua: the OPC UA peer is not installed; run tests/peers/install.sh" >&2; exit 1; }
if [ -n "$o6" ] && { [ ! -x "$o6/o6peer" ] || [ ! -x "$o6/o6bench" ]; }; then
  {
    echo "compare_opcua: no open62541 test peer in $o6 (o6peer and o6bench)."
    echo "Build it once, outside this tree, with the open62541 peer's build script (open62541 1.4.19,"
    echo "its test server and its client benchmark; about 3 minutes):"
    echo "  <open62541 peer folder>/build.sh $o6"
  } >&2
  exit 1
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_GUI=OFF -DQV_BENCH=ON >/dev/null
cmake --build "$dir" --target bench_opc_ua >/dev/null

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; } # user + system
read_ticks() { local f; read -ra f <"/proc/$1/stat"; ticks_read=$(( f[13] + f[14] )); } # the same, without a process
now() { date +%s.%N; }
kv() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }
median() { tr ' ' '\n' | { grep -v '^$' || true; } | sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'; }

# Whether a line of FILE starts with PREFIX, and the VmRSS of PID in kB into
# rss_kb: bash built-ins only, no process started.
has_line() {
  local l
  while IFS= read -r l; do [[ $l == "$2"* ]] && return 0; done <"$1"
  return 1
}
read_rss() {
  local k v _
  while read -r k v _; do [ "$k" = VmRSS: ] && { rss_kb=$v; return; }; done <"/proc/$1/status" 2>/dev/null || true
}
# A pipe nobody writes to: `read -t` on it pauses without starting sleep(1).
exec {pause_fd}<> <(:)

peer_pid=""
peer_out=$(mktemp)
work=$(mktemp -d) # the server's PKI and our two configuration homes
stop_peer() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  peer_pid=""
}
trap 'stop_peer; rm -rf "$peer_out" "$work"' EXIT

start_peer() { # N -> sets peer_pid and url
  local n=$1 bound=$(( rounds * 4 * (3 * security + 1) * (warmup + seconds + 40) + 120 )) extra=()
  : >"$peer_out"
  if [ -n "$o6" ]; then
    [ "$security" = 1 ] && extra=(--secure --policies "$secured_policies" --pki "$work/peer-pki" --trust-all)
    (( bound > 3600 )) && bound=3600
    nice -n "$server_nice" "$o6/o6peer" "$(free_port)" --bench "$n" --bench-source --seconds "$bound" --quiet ${extra[@]+"${extra[@]}"} \
      >"$peer_out" 2>/dev/null </dev/null &
  else
    [ "$security" = 1 ] && extra=(--security "$work/peer-pki" --policies "$secured_policies")
    nice -n "$server_nice" node "$peer_dir/server.js" 0 --bench "$n" --bench-interval 100 --big-folder 0 --run-seconds "$bound" \
      --ignore-stdin --quiet ${extra[@]+"${extra[@]}"} >"$peer_out" </dev/null &
  fi
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
# line. Prints "per_second cpu_us_per_change cpu_percent server_cpu_percent
# rss_mb delay_p50_us delay_p99_us" ("-" for what the client does not report).
run_client() {
  local out pid p0="" t0="" p1 t1 line result rss_kb="" deadline=$((SECONDS + warmup + seconds + 40))
  out=$(mktemp)
  "$@" >"$out" 2>/dev/null </dev/null &
  pid=$!
  # While a client counts, this script stays out of its way: it starts no
  # process, and wakes once, near the window's end, to read the resident
  # memory. Looking every 0.2 s took a core from the client often enough to
  # move its delay p99 from 0.3 to 0.8-2.6 ms on two cores (server niced).
  while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    if [ -z "$t0" ]; then
      if has_line "$out" 'WINDOW begin'; then
        read_ticks "$peer_pid"; p0=$ticks_read; t0=${EPOCHREALTIME/,/.}
        read -rt "$(( seconds - 1 )).7" -u "$pause_fd" || true
        read_rss "$pid"
      fi
    else
      has_line "$out" RESULT && break
    fi
    read -rt 0.2 -u "$pause_fd" || true
  done
  p1=$(cpu_ticks "$peer_pid"); t1=$(now)
  for _ in $(seq 1 100); do # the client disconnects, then prints
    has_line "$out" RESULT && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  line=$(grep -m1 '^RESULT' "$out" || true)
  rm -f "$out"
  if [ -z "$line" ] || [ -z "$t0" ]; then
    echo "compare_opcua: no result from: $*" >&2
    echo "- - - - - - -"
    return
  fi
  result="$(kv "$line" per_second) $(kv "$line" cpu_us_per_change) $(kv "$line" cpu_percent)"
  result+=" $(awk -v d=$((p1 - p0)) -v hz="$ticks" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", d * 100 / hz / (b - a) }')"
  local p50 p99 rss="-"
  p50=$(kv "$line" delay_p50_us); p99=$(kv "$line" delay_p99_us)
  [ -n "$rss_kb" ] && rss=$(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }')
  echo "$result $rss ${p50:--} ${p99:--}"
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

run_o6() { # N
  run_client "$o6/o6bench" "$url" "$1" "$seconds" --warmup "$warmup"
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

run_ours() { # N mode [callback]
  run_client env XDG_CONFIG_HOME="$(home_for "$2")" "$dir/bench/bench_opc_ua" "$url" "$1" "$seconds" \
    --warmup "$warmup" --callback "${3:-store}"
}

modes=(None)
[ "$security" = 1 ] && modes+=(${secured_policies//,/ })
# Per N and security: changes asked of the server per second; per client
# (ours, node-opcua, open62541) the changes delivered per second, the CPU per
# change and the resident memory, ours also as a ratio of open62541's (o/o6);
# with --open62541 also our CPU per change when our callback does no more than
# open62541's benchmark client does, copy, clear and count ("copy", c/o6),
# where "us/ch o" includes storing every value into Modbus registers;
# our delay p50/p99; the server's highest CPU over the clients' windows; and
# the machine's 1-minute load average after the rounds.
fmt='%-14s %6s %7s | %7s %7s %7s | %7s %6s %6s %5s %6s %5s | %6s %6s %6s %5s | %7s %7s | %5s %5s\n'
[ "$server_nice" != 0 ] && echo "The server runs at niceness $server_nice."
printf "$fmt" security N asked/s "ours/s" "node/s" "o6/s" "us/ch o" "node" "o6" "o/o6" "copy" "c/o6" "RSS o" "node" \
  "o6" "o/o6" "p50 us" "p99 us" "srv%" load
col() { tr ';' '\n' <<<"${runs[$1]:-}" | awk -v i="$2" 'NF && $i != "-" && $i != "nan" { print $i }' | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
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
      if [ -n "$o6" ] && [ "$mode" = None ]; then
        runs[o6-$mode]+="$(run_o6 "$n");"
        runs[copy-$mode]+="$(run_ours "$n" "$mode" copy);"
      fi
    done
  done
  for mode in "${modes[@]}"; do
    o=ours-$mode; d=node-$mode; p=o6-$mode; c=copy-$mode # no open62541 run over SignAndEncrypt: its columns stay "-"
    srv=$({ col "$o" 4; col "$d" 4; col "$p" 4; col "$c" 4; } | { grep -v "^-$" || true; } | sort -g | tail -1)
    printf "$fmt" "$mode" "$n" $((n * 10)) "$(col "$o" 1)" "$(col "$d" 1)" "$(col "$p" 1)" \
      "$(col "$o" 2)" "$(col "$d" 2)" "$(col "$p" 2)" "$(ratio "$(col "$o" 2)" "$(col "$p" 2)")" \
      "$(col "$c" 2)" "$(ratio "$(col "$c" 2)" "$(col "$p" 2)")" \
      "$(col "$o" 5)" "$(col "$d" 5)" "$(col "$p" 5)" "$(ratio "$(col "$o" 5)" "$(col "$p" 5)")" \
      "$(col "$o" 6)" "$(col "$o" 7)" "${srv:--}" "$(cut -d' ' -f1 /proc/loadavg)"
  done
  unset runs
  stop_peer
done

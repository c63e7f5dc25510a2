#!/usr/bin/env bash
# Builds and runs every test: AddressSanitizer + UndefinedBehaviorSanitizer for
# the whole suite, ThreadSanitizer for the tests labelled "concurrency", and a
# bounded libFuzzer run of every fuzz target. Any failure exits non-zero.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qv_need_packages "${QV_BUILD_PACKAGES[@]}" "${QV_TEST_PACKAGES[@]}"
[ -x tests/peers/install.sh ] && tests/peers/install.sh

jobs=$(nproc)
fuzz_seconds=${QV_FUZZ_SECONDS:-30}
status=0
passed=0
failed=0

# Runs ctest and adds its counts to the totals.
run_ctest() {
  local log
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log" || true
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "ctest reported no result"; failed=$((failed + 1)); status=1
  else
    bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.*failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - bad)); failed=$((failed + bad))
    [ "$bad" -eq 0 ] || status=1
  fi
  rm -f "$log"
}

configure() { # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=ON "$@" >/dev/null
}

# No include points up a layer (a check of the tree, not counted as a test).
echo "== Layers"
if ! scripts/check_layers.sh; then
  status=1; failed=$((failed + 1))
fi

# The build a packager or a new user makes first: plain Release, every
# target, no sanitizer. Built (warnings fatal) but not run: the optimiser of
# -O3 warns where -O2 does not.
echo "== Release build"
if configure build/release-check -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=OFF && cmake --build build/release-check -j "$jobs"; then
  passed=$((passed + 1))
else
  echo "FAILED: Release build"
  status=1; failed=$((failed + 1))
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/asan -DQV_SANITIZE=address,undefined -DQV_BENCH=ON
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (label concurrency)"
configure build/tsan -DQV_SANITIZE=thread -DQV_BENCH=OFF -DQV_GUI=OFF
cmake --build build/tsan -j "$jobs"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L concurrency

echo "== libFuzzer, ${fuzz_seconds} s per target"
CC=clang CXX=clang++ configure build/fuzz -DQV_FUZZ=ON -DQV_SANITIZE=address,undefined -DQV_GUI=OFF
cmake --build build/fuzz -j "$jobs"
# Each target runs single-threaded, so as many run side by side as there are
# cores; the results are read back in name order once all have ended.
fuzz_one() { # fuzzer binary; exit status in build/fuzz/NAME.rc
  local fuzzer=$1 name corpus rc=0
  name=$(basename "$fuzzer")
  corpus=$(mktemp -d)
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$corpus/"
  "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/$name-" "$corpus" 2>"build/fuzz/$name.log" || rc=$?
  echo "$rc" >"build/fuzz/$name.rc"
  rm -rf "$corpus"
}
fuzzers=()
for fuzzer in build/fuzz/tests/fuzz/fuzz_*; do
  [ -f "$fuzzer" ] && [ -x "$fuzzer" ] || continue
  fuzzers+=("$fuzzer")
done
running=0
for fuzzer in "${fuzzers[@]}"; do
  if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
  fuzz_one "$fuzzer" &
  running=$((running + 1))
done
wait || true
for fuzzer in "${fuzzers[@]}"; do
  name=$(basename "$fuzzer")
  echo "-- $name"
  if [ "$(cat "build/fuzz/$name.rc" 2>/dev/null)" != "0" ]; then
    tail -n 40 "build/fuzz/$name.log"
    echo "FAILED: $name"
    status=1; failed=$((failed + 1))
  else
    grep -E 'stat::number_of_executed_units' "build/fuzz/$name.log" || true
    passed=$((passed + 1))
  fi
done

echo "test.sh: $passed passed, $failed failed"
exit $status

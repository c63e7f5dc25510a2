# Loopback port helpers shared by the comparison scripts (sourced, not run).

# Prints a port on 127.0.0.1 that nobody listens on.
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$(( (RANDOM % 20000) + 30000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  echo "$(basename "$0"): no free port" >&2; exit 1
}

# Waits up to 5 s until something listens on 127.0.0.1:$1.
await_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return; fi
    sleep 0.05
  done
}

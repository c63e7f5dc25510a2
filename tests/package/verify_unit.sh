#!/usr/bin/env bash
# systemd-analyze verify on the service unit $1, with its program path
# replaced by the built program $2 (verify checks that it can be executed),
# saved as $3 (default quorvane.service; a template is verified as one of
# its instances, quorvane@NAME.service).
# Any complaint fails, also one that verify itself only warns about.
set -euo pipefail
unit=$1
program=$2
name=${3:-quorvane.service}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s|/opt/quorvane/bin/quorvane|$program|" "$unit" >"$scratch/$name"
if ! output=$(systemd-analyze verify "$scratch/$name" 2>&1) || [ -n "$output" ]; then
  echo "$output"
  echo "systemd-analyze verify found fault with $unit"
  exit 1
fi
echo "systemd-analyze verify: no complaint"

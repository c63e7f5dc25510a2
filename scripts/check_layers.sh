#!/usr/bin/env bash
# Checks that no include points up a layer. Each rule names a folder and the
# include paths its files must not use; internal includes are written from
# their deliverable's root ("ua/encoding/codec.h", "frame/main_frame.h"), so
# the path says the layer. Prints every offending line; exits 1 if any.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
# folder | pattern of forbidden include paths | why
rules=(
  'pellacor/src|"(ostrand|quorvane)\.h"|"model/|"frame/|"windows/|"(service|backend)\.h"|Pellacor stands alone'
  'ostrand|"pellacor\.h"|"model/|"frame/|"windows/|Ostrand stands alone'
  'pellacor/src/core.h pellacor/src/table.h pellacor/src/table.cpp pellacor/src/request.cpp pellacor/src/framing.cpp pellacor/src/connection.cpp|"(serial|tcp)/|the engine is below the transports'
  'ostrand/src/sim|"ua/|"service\.h"|a backend sees the seam, not the service or the other backend'
  'ostrand/src/ua|"sim/|"service\.h"|a backend sees the seam, not the service or the other backend'
  'ostrand/src/ua/encoding|"ua/(secure_channel|client)/|"ua/ua_backend\.h"|"backend\.h"|encoding is the lowest layer'
  'ostrand/src/ua/secure_channel|"ua/client/|"ua/ua_backend\.h"|"backend\.h"|the secure channel is below the client'
  'ostrand/src/ua/client|"ua/ua_backend\.h"|"backend\.h"|the client is below the backend'
  'quorvane/model|"frame/|"windows/|the model is below the frame'
  'quorvane/frame/config|"frame/[a-z_]+\.h"|"windows/|quorvane_config is below the rest of the frame'
  'quorvane/frame|"windows/|the frame is below the windows (main.cpp joins them)'
)
for rule in "${rules[@]}"; do
  IFS='|' read -r -a parts <<<"$rule"
  where=${parts[0]}
  why=${parts[-1]}
  pattern=$(IFS='|'; echo "${parts[*]:1:${#parts[@]}-2}")
  # shellcheck disable=SC2086
  if hits=$(git grep -nE "^#include ($pattern)" -- $where 2>/dev/null); then
    echo "$hits" | sed "s/\$/   <- $why/"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "check_layers.sh: no include points up a layer"
exit $status

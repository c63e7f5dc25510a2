#!/usr/bin/env bash
# Installs the test peers: the OPC UA server in opcua/ (node-opcua, pinned
# exactly by opcua/package-lock.json). Quick and silent when already in place.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/deps.sh"
qv_need_node
command -v node >/dev/null 2>&1 || { echo "tests/peers/install.sh: node is missing after installing Node.js" >&2; exit 1; }
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 20 ]; then
  echo "tests/peers/install.sh: the OPC UA test peer (node-opcua 2.182.2) needs Node.js 20 or later;" \
       "found $(node --version). Install Node.js 20 and run tests/peers/install.sh again." >&2
  exit 1
fi
peer="$here/opcua"
# npm ci leaves node_modules/.package-lock.json as the record of what it
# installed; a lock file changed since then means installing again.
stamp="$peer/node_modules/.package-lock.json"
if [ -d "$peer/node_modules/node-opcua" ] && [ -f "$stamp" ] && [ "$stamp" -nt "$peer/package-lock.json" ]; then
  exit 0
fi
echo "tests/peers/install.sh: installing the OPC UA test peer (npm ci in tests/peers/opcua)"
(cd "$peer" && npm ci --no-audit --no-fund --loglevel=error)

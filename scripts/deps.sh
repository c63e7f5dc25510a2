# Installs the Debian packages (and npm packages) that a purpose needs, only
# when something is missing. Sourced by run.sh and test.sh; root on Debian 12.
qv_need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

QV_BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libssl-dev libsystemd-dev
                   libmicrohttpd-dev)
QV_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev clang libclang-rt-14-dev
                  util-linux procps xvfb xauth locales fonts-dejavu-core poppler-utils systemd tshark curl)

# Node.js and npm (for the OPC UA test server) may come from outside Debian's
# archive on a prepared machine; take Debian's only when there is none.
qv_need_node() {
  command -v npm >/dev/null 2>&1 || qv_need_packages nodejs npm
}

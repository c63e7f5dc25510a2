#!/usr/bin/env bash
# Installs the libraries' components of the build tree $1 into a scratch
# prefix, then builds and runs a C program against them twice: with
# pkg-config and with find_package. $2: extra C flags (the build's sanitizers).
set -euo pipefail
build=$1
cflags=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

for component in libraries development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done

echo "-- pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046,SC2086 # the flags are word lists
cc $cflags -o "$prefix/with-pkg-config" "$here/consumer/consumer.c" $(pkg-config --cflags --libs pellacor ostrand)
LD_LIBRARY_PATH="$prefix/lib" "$prefix/with-pkg-config"

echo "-- find_package"
cmake -S "$here/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_FLAGS="$cflags" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
"$prefix/consumer-build/consumer"

#!/usr/bin/env bash
# Installs the plain build into a scratch prefix and builds two tiny consumers
# against it, one with find_package(orna), one with pkg-config; runs both.
# About 15 s.
set -euo pipefail
build=${ORNA_BUILD_DIR:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --build "$build" -j"$(nproc)" --target orna
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/orna.h include/orna_version.h share/orna/60-orna.rules share/orna/95-orna-realtime.conf; do
  [ -f "$prefix/$f" ] || { echo "missing $f in the install"; exit 1; }
done

echo "-- find_package(orna)"
cmake -S packaging/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

echo "-- pkg-config orna"
pcdir=$(dirname "$(find "$prefix" -name orna.pc)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs orna)
cc -std=c11 -Wall -Werror packaging/consumer/consumer.c $flags -o "$work/consumer_c"
LD_LIBRARY_PATH="$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir orna)" "$work/consumer_c"
echo "installed: 2 passed, 0 failed"

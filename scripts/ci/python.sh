#!/usr/bin/env bash
# The Python package against the virtual instrument on its pseudo-terminal, and
# the scan and the example programs on a fake /dev/ttyACM0 (umockdev; no root,
# no hardware). About 20 s.
set -euo pipefail
build=${ORNA_BUILD_DIR:-build}
cmake --build "$build" -j"$(nproc)" --target orna orna-cli example_calibration_ecg example_streaming
export ORNA_LIBRARY="$PWD/$build/liborna.so" ORNA_CLI="$PWD/$build/tools/orna" \
       ORNA_EXAMPLES_DIR="$PWD/$build/examples"
# Debian's python3 (pytest, gi); the preload fakes the device node for every child too.
timeout 600 umockdev-wrapper /usr/bin/python3 -m pytest -q -p no:cacheprovider bindings/python/tests

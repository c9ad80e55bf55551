#!/usr/bin/env bash
# `orna panel --emulate` in headless Chromium driven by Selenium: the page
# plays a sine, refuses a bad value, marks pacing, and refuses requests from
# elsewhere. Leaves a screenshot and the chart's frame rate in
# $build/panel-artefacts. About 1.5 min, and the TSan build of the program.
set -euo pipefail
build=${ORNA_BUILD_DIR:-build}
cmake --build "$build" -j"$(nproc)" --target orna-cli
artefacts="$PWD/$build/panel-artefacts"
mkdir -p "$artefacts"
export ORNA_CLI="$PWD/$build/tools/orna" ORNA_PANEL_ARTEFACTS="$artefacts"
# Debian's python3 (pytest, selenium); Chromium runs headless, no display needed.
timeout 600 /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/panel
cat "$artefacts/panel-chart.json"; echo

# The server's threads under ThreadSanitizer, against real sockets (no
# browser): the library's TSan tree from .ci/run with the tools added, of
# which only the program is built. The HTTP library is Debian's, not built
# with TSan; tsan.supp leaves what happens inside it aside.
if [ -d build-tsan ]; then
  cmake -S . -B build-tsan -DORNA_BUILD_TOOLS=ON >/dev/null
  cmake --build build-tsan -j"$(nproc)" --target orna-cli
  ORNA_CLI="$PWD/build-tsan/tools/orna" \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/panel/tsan.supp" \
    timeout 600 /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/panel/test_server.py
fi

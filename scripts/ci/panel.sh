#!/usr/bin/env bash
# `orna panel --emulate` in headless Chromium driven by Selenium: the page
# plays a sine, refuses a bad value, marks pacing, and refuses requests from
# elsewhere. Leaves a screenshot and the chart's frame rate in
# $build/panel-artefacts. About 30 s.
set -euo pipefail
build=${ORNA_BUILD_DIR:-build}
cmake --build "$build" -j"$(nproc)" --target orna-cli
artefacts="$PWD/$build/panel-artefacts"
mkdir -p "$artefacts"
export ORNA_CLI="$PWD/$build/tools/orna" ORNA_PANEL_ARTEFACTS="$artefacts"
# Debian's python3 (pytest, selenium); Chromium runs headless, no display needed.
timeout 600 /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/panel
cat "$artefacts/panel-chart.json"; echo

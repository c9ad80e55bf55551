#!/usr/bin/env bash
# The Python package against the virtual instrument on its pseudo-terminal, and
# the scan and the example programs on a fake /dev/ttyACM0 (umockdev; no root,
# no hardware), then the package installed with pip, offline. About 30 s.
set -euo pipefail
build=${ORNA_BUILD_DIR:-build}
# Debian's python3 (pytest, gi): a python3 found first on PATH (pyenv, a
# virtual environment) usually lacks umockdev's bindings.
py=/usr/bin/python3
if ! "$py" -c 'import gi, pytest' 2>/dev/null; then
  echo "$py cannot import gi and pytest: run scripts/install-deps.sh (python3-gi, python3-pytest)" >&2
  exit 2
fi
cmake --build "$build" -j"$(nproc)" --target orna orna-cli example_calibration_ecg example_streaming
export ORNA_LIBRARY="$PWD/$build/liborna.so" ORNA_CLI="$PWD/$build/tools/orna" \
       ORNA_EXAMPLES_DIR="$PWD/$build/examples"
# The preload fakes the device node for every child too.
timeout 600 umockdev-wrapper "$py" -m pytest -q -p no:cacheprovider bindings/python/tests

# pip install builds from Debian's setuptools, without the network.
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
"$py" -m venv --system-site-packages "$venv"  # as the README has it: Debian's gi and wheel
src=$(mktemp -d -p "$venv")
cp -r bindings/python/. "$src"  # builds in a copy: the checkout stays clean
# The copy finds the version in this checkout's CMakeLists.txt.
ORNA_SOURCE_DIR="$PWD" PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 timeout 300 "$venv/bin/pip" install -q "$src"
(cd "$venv" && bin/python -c 'import orna, orna.testing; print("pip install: imports", orna.__file__)')
# Its version is the project's, from the one place it is written.
"$venv/bin/pip" show orna | grep -x "Version: $(sed -n 's/^project(orna VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"

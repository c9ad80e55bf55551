#!/usr/bin/env bash
# An outside QRS detector (MNE's, python3-mne) on rhythms played on the virtual
# instrument and recorded as EDF+: the beats where the annotations say, none
# in fibrillation and asystole, the rate asked for. About 30 s.
set -euo pipefail
build=${ORNA_BUILD_DIR:-build}
# Debian's python3, which has MNE (a python3 first on PATH may not).
py=/usr/bin/python3
if ! "$py" -c 'import mne' 2>/dev/null; then
  echo "$py cannot import mne: run scripts/install-deps.sh (python3-mne)" >&2
  exit 2
fi
cmake --build "$build" -j"$(nproc)" --target orna-cli
timeout 300 "$py" scripts/ci/qrs_detector.py "$PWD/$build/tools/orna"

#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need (idempotent).
set -euo pipefail
packages=(cmake g++ make pkg-config binutils libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libcairo2-dev libedf-dev libsoxr-dev libtomlplusplus-dev nlohmann-json3-dev libssl-dev chromium
          clang libclang-rt-14-dev
          python3 python3-pytest python3-gi gir1.2-umockdev-1.0 umockdev
          python3-setuptools python3-wheel python3-pip python3-venv
          libcpp-httplib-dev chromium-driver python3-selenium
          poppler-utils
          biosig-tools)  # save2gdf: an outside reader of the WFDB records in the tests
# Without their recommendations (MNE's would bring a 3D toolkit): the outside
# QRS detector of scripts/ci/qrs-detector.sh.
lean=(python3-mne)
missing=() missing_lean=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
for p in "${lean[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing_lean+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_lean[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  [ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing[@]}"
  [ ${#missing_lean[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${missing_lean[@]}"
fi

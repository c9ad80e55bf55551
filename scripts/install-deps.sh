#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need (idempotent).
set -euo pipefail
packages=(cmake g++ make pkg-config binutils libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libcairo2-dev libedf-dev libtomlplusplus-dev nlohmann-json3-dev libssl-dev chromium
          clang libclang-rt-14-dev
          python3 python3-pytest python3-gi gir1.2-umockdev-1.0 umockdev
          python3-setuptools python3-wheel python3-pip python3-venv
          libcpp-httplib-dev chromium-driver python3-selenium
          biosig-tools)  # save2gdf: an outside reader of the WFDB records in the tests
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages (only what
# is missing), then configures and builds into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libsimdjson-dev python3 util-linux)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

build="${BUILD_DIR:-build}"
cmake -S . -B "$build" ${CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"

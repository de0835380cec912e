#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages (only what
# is missing), then configures and builds into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-packages.sh cmake g++ make pkg-config libgtest-dev libgmock-dev libsimdjson-dev python3 util-linux groff-base nodejs

build="${BUILD_DIR:-build}"
cmake -S . -B "$build" ${CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"

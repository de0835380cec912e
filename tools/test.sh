#!/usr/bin/env bash
# Sets up and builds (tools/setup.sh) with warnings as errors, then runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
CMAKE_ARGS="${CMAKE_ARGS:-} -DWARNINGS_AS_ERRORS=ON" tools/setup.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"

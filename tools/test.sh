#!/usr/bin/env bash
# Sets up and builds (tools/setup.sh) with warnings as errors, then runs every test:
# on Linux against the layer in platform/, on macOS against the real frameworks
# (docs/macos.md, "Run everything on a Mac").
set -euo pipefail
cd "$(dirname "$0")/.."
CMAKE_ARGS="${CMAKE_ARGS:-} -DWARNINGS_AS_ERRORS=ON"
# shellcheck source=tools/setup.sh
source tools/setup.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$jobs"

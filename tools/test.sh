#!/usr/bin/env bash
# Sets up and builds (tools/setup.sh), then runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"

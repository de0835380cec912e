#!/usr/bin/env bash
# Installs what the build and the tests need, then configures and builds into build/.
# On Linux it installs what is missing from Debian's packages. On macOS it installs
# nothing: it looks for the Command Line Tools, Python 3 and CMake and says what is
# missing. tools/test.sh sources it and goes on with the PATH and the job count
# ($jobs) that it leaves.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ "$(uname -s)" = Darwin ]; then
  # CMake's installer leaves cmake inside its application, and pip3 install --user puts it
  # into Python's user folder; neither is on the PATH by itself.
  for folder in /Applications/CMake.app/Contents/bin "$(python3 -m site --user-base 2>/dev/null)/bin"; do
    command -v cmake >/dev/null || [ ! -x "$folder/cmake" ] || PATH="$PATH:$folder"
  done
  missing=()
  xcrun --find clang++ >/dev/null 2>&1 || missing+=("the Command Line Tools (xcode-select --install)")
  command -v python3 >/dev/null || missing+=("Python 3 (it comes with the Command Line Tools)")
  command -v cmake >/dev/null || missing+=("CMake 3.20 or later (its installer from cmake.org, or pip3 install cmake)")
  if [ ${#missing[@]} -gt 0 ]; then
    printf 'tools/setup.sh: install %s\n' "${missing[@]}" >&2
    exit 1
  fi
  jobs="$(sysctl -n hw.ncpu)"
else
  tools/install-packages.sh cmake g++ make pkg-config libgtest-dev libgmock-dev libsimdjson-dev python3 python3-pytest python3-venv python3-setuptools python3-wheel util-linux groff-base nodejs
  jobs="$(nproc)"
fi

build="${BUILD_DIR:-build}"
cmake -S . -B "$build" ${CMAKE_ARGS:-}
cmake --build "$build" -j "$jobs"

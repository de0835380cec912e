#!/usr/bin/env bash
# Sets up and builds (tools/setup.sh), then shows both components at work:
# two vornex-port processes passing a message, and the plug-in auto-starting
# the script inside the host simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
build="${BUILD_DIR:-build}"
echo "== vornex-port: two processes, one message"
python3 tools/demo.py "$build/bin/vornex-port"
echo
echo "== tavrin-autostart: the host simulator loads the bundle and plays the English-menus scenario"
"$build/bin/hostsim" examples/english-menus.json

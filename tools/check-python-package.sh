#!/usr/bin/env bash
# The Python client as a user gets it: clients/python installed with pip into a fresh virtual
# environment, offline (setuptools and wheel from Debian's packages, no build isolation), then
# used from outside the repository against the tool the build made. Also checks that every file
# of the package is Python 3.8 syntax.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
# The tool: the argument, else VORNEX_PORT_BINARY, else the default build's.
binary="$(realpath "${1:-${VORNEX_PORT_BINARY:-build/bin/vornex-port}}")"
# Debian's interpreter: the one whose setuptools and wheel tools/setup.sh installs.
python=/usr/bin/python3
[ -x "$python" ] || python="$(command -v python3)"

"$python" - clients/python <<'PY'
import ast, pathlib, sys
files = sorted(pathlib.Path(sys.argv[1]).rglob("*.py"))
for path in files:
    ast.parse(path.read_text(encoding="utf-8"), str(path), feature_version=(3, 8))
print("Python 3.8 syntax: %d files" % len(files))
PY

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A copy: pip builds in the source folder, and nothing of a build belongs in the repository.
cp -r clients/python "$work/source"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation --no-deps "$work/source"
cd "$work"
"$work/venv/bin/python" - "$binary" "$root" <<'PY'
import os, sys, vornex_port
site = os.path.dirname(vornex_port.__file__)
assert not site.startswith(sys.argv[2]), "imported from the repository: " + site
assert os.path.isfile(os.path.join(site, "py.typed")), "py.typed is not installed"
with vornex_port.Port(["check.package.%d" % os.getpid()], binary=sys.argv[1]) as port:
    assert port.send(port.ports[0], b"hello") == vornex_port.Status.SUCCESS
    assert port.next_message(timeout=10).data == b"hello"
print("pip install clients/python: vornex_port %s from %s works" % (vornex_port.__version__, site))
PY

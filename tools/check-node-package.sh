#!/usr/bin/env bash
# The Node.js client as a user gets it: `npm pack`, installed into a fresh folder, used from there
# in one line against the tool, and its hand-written types compiled with tsc --strict against a
# usage file. TypeScript and Node's types come from the npm registry, pinned.
# Usage: tools/check-node-package.sh [path/to/vornex-port]   (default: build/bin/vornex-port)
set -euo pipefail
cd "$(dirname "$0")/.."
typescript=typescript@5.9.3
node_types=@types/node@18.19.130 # the oldest Node.js the package supports
binary="$(realpath "${1:-build/bin/vornex-port}")"
package="$PWD/clients/node"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir "$work/pack" "$work/user"
tarball="$(cd "$package" && npm pack --silent --pack-destination "$work/pack")"
cd "$work/user"
printf '{"name":"user","version":"1.0.0","private":true,"type":"module"}\n' >package.json
npm install --silent --no-audit --no-fund --no-save "$work/pack/$tarball" "$typescript" "$node_types"
# Nothing but the package's own files went in, and it brought no dependencies of its own.
[ "$(ls node_modules/vornex-port/node_modules 2>/dev/null | wc -l)" -eq 0 ]

VORNEX_PORT_BINARY="$binary" node --input-type=module -e '
import { start } from "vornex-port";
const port = await start("check.node." + process.pid);
console.log("vornex-port from the packed package: lookup", await port.lookup(port.ports[0]), "end", JSON.stringify(await port.close()));
'
cp "$package/types-check/usage.ts" "$package/types-check/tsconfig.json" .
npx --no-install tsc -p tsconfig.json --noEmit --strict
echo "vornex-port types: tsc --noEmit --strict passed ($typescript, $node_types)"

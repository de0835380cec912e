#!/usr/bin/env bash
# Cross-builds both macOS deliverables and the macOS test programs (the tests
# against the real frameworks and the AppKit test host) on Linux, once per
# architecture with warnings as errors, installs the deliverables into a staging
# tree, joins their slices into universal binaries and checks the result from
# outside, as a Mac would see it: Mach-O kinds, architectures, minimum macOS, the
# bundle's exports, linked libraries, the arm64 signature, the bundles' layout and
# Info.plist; each test program of each architecture the same way. Clang's static
# analyzer then reads every source of ours as built for arm64, tests included,
# with the Core Foundation checkers, and any report in our files fails the check.
#
#   tools/macos-check.sh SYSROOT
#
# SYSROOT is a macOS SDK (usr/include, usr/lib, System/Library/Frameworks); it
# is never part of the repository. For a build without network, name in the
# environment simdjson 3.0.1's singleheader/ folder as SIMDJSON_SOURCE_DIR and
# GoogleTest 1.12.1's source as FETCHCONTENT_SOURCE_DIR_GOOGLETEST (Debian's
# libgtest-dev has it in /usr/src/googletest); without them the build downloads
# those releases. Builds into build-macos/ (BUILD_DIR to change).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: tools/macos-check.sh SYSROOT (a macOS SDK folder)" >&2
  exit 64
fi
sysroot="$(realpath "$1")"
tools/install-packages.sh cmake make python3 clang-19 lld-19 llvm-19

llvm=/usr/lib/llvm-19/bin
out="$(realpath -m "${BUILD_DIR:-build-macos}")"
archs=(x86_64 arm64)
tool=usr/local/bin/vornex-port
bundle=Library/OFX/Plugins/tavrin-autostart.ofx.bundle
plugin=$bundle/Contents/MacOS/tavrin-autostart.ofx

for arch in "${archs[@]}"; do
  cmake -S . -B "$out/$arch" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/macos-cross.cmake" -DMACOS_SYSROOT="$sysroot" \
    -DCMAKE_OSX_ARCHITECTURES="$arch" -DWARNINGS_AS_ERRORS=ON \
    ${SIMDJSON_SOURCE_DIR:+-DSIMDJSON_SOURCE_DIR="$(realpath "$SIMDJSON_SOURCE_DIR")"} \
    ${FETCHCONTENT_SOURCE_DIR_GOOGLETEST:+-DFETCHCONTENT_SOURCE_DIR_GOOGLETEST="$(realpath "$FETCHCONTENT_SOURCE_DIR_GOOGLETEST")"} \
    >/dev/null
  # Compiler warnings already fail the build; the linker's are caught from its output,
  # which holds every step only when nothing is left over from an earlier build.
  # (Read from a pipeline with pipefail, a failed build's status was lost to "|| true".)
  built=0
  cmake --build "$out/$arch" --clean-first -j "$(nproc)" >"$out/$arch/build.log" 2>&1 || built=$?
  grep -v '^\[' "$out/$arch/build.log" || true
  [ "$built" -eq 0 ] || { echo "macos-check: the $arch build failed" >&2; exit 1; }
  rm -rf "$out/stage-$arch"
  DESTDIR="$out/stage-$arch" cmake --install "$out/$arch" >/dev/null
done

# The universal tree: the first architecture's, with each binary joined from all slices.
rm -rf "$out/universal"
cp -a "$out/stage-${archs[0]}" "$out/universal"
for binary in "$tool" "$plugin"; do
  slices=()
  for arch in "${archs[@]}"; do slices+=("$out/stage-$arch/$binary"); done
  "$llvm/llvm-lipo" -create "${slices[@]}" -output "$out/universal/$binary"
done

passed=0
failed=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
    echo "ok   $1: $3"
  else
    failed=$((failed + 1))
    echo "FAIL $1: expected \"$2\", got \"$3\""
  fi
}

buildWarnings=0
for arch in "${archs[@]}"; do
  buildWarnings=$((buildWarnings + $(grep -ci 'warning' "$out/$arch/build.log" || true)))
done
check "build warnings (both architectures)" 0 "$buildWarnings"

inspectSlice() {  # inspectSlice NAME FILE ARCH KIND MINOS: one architecture's binary
  local name=$1 slice=$2 arch=$3 kind=$4 minos=$5
  local header cpu
  header="$("$llvm/llvm-otool" -hv "$slice" | tail -1)"
  cpu="$(awk '{print tolower($2)}' <<<"$header")"
  check "$name [$arch] cpu type" "$([ "$arch" == x86_64 ] && echo x86_64 || echo arm64)" "$cpu"
  check "$name [$arch] Mach-O kind" "$kind" "$(awk '{print $5}' <<<"$header")"
  # The platform (1 is macOS) and minimum system that the loader enforces.
  check "$name [$arch] LC_BUILD_VERSION platform, minos" "1 $minos" \
    "$("$llvm/llvm-otool" -l "$slice" | awk '/cmd LC_BUILD_VERSION/{b=1} b&&/platform/{p=$2} b&&/minos/{print p, $2; b=0}' | xargs)"
  local libs others
  libs="$("$llvm/llvm-otool" -L "$slice" | tail -n +2 | awk '{print $1}')"
  others="$( (grep -v -E '^(/usr/lib/|/System/Library/)' <<<"$libs" || true) | xargs)"
  check "$name [$arch] libraries outside /usr/lib and /System" "" "$others"
  echo "     $(xargs -n1 basename <<<"$libs" | xargs)"
  # Apple silicon runs no arm64 code without a signature; the linker's ad-hoc one suffices until it is signed.
  if [ "$arch" == arm64 ]; then
    check "$name [$arch] code signature" yes \
      "$("$llvm/llvm-otool" -l "$slice" | grep -q 'cmd LC_CODE_SIGNATURE' && echo yes || echo no)"
  fi
  if [ "$kind" == BUNDLE ]; then
    check "$name [$arch] exports" "_OfxGetNumberOfPlugins _OfxGetPlugin _OfxSetHost" \
      "$("$llvm/llvm-objdump" --macho --exports-trie "$slice" | awk '/^0x/{print $2}' | sort | xargs)"
  fi
}

inspect() {  # inspect NAME FILE KIND MINOS: a universal binary, slice by slice
  local name=$1 file=$2 kind=$3 minos=$4 arch slice="$out/slice"
  check "$name architectures" "${archs[*]}" "$("$llvm/llvm-lipo" -archs "$file" | xargs)"
  for arch in "${archs[@]}"; do
    "$llvm/llvm-lipo" "$file" -thin "$arch" -output "$slice"
    inspectSlice "$name" "$slice" "$arch" "$kind" "$minos"
    rm -f "$slice"
  done
}

plist() {  # plist FILE KEY...: the values of the keys, separated by spaces
  python3 - "$@" <<'EOF'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    p = plistlib.load(f)
print(*(p.get(key) for key in sys.argv[2:]))
EOF
}

inspect vornex-port "$out/universal/$tool" EXECUTE 11.0
inspect tavrin-autostart "$out/universal/$plugin" BUNDLE 15.0

check "bundle layout" "Contents/Info.plist Contents/MacOS/tavrin-autostart.ofx" \
  "$(cd "$out/universal/$bundle" && find . -type f -o -type l | sed 's|^\./||' | sort | xargs)"
check "Info.plist" "BNDL tavrin-autostart.ofx com.tavrin.ofx.autostart 15.0" "$(plist "$out/universal/$bundle/Contents/Info.plist" \
  CFBundlePackageType CFBundleExecutable CFBundleIdentifier LSMinimumSystemVersion)"

# The test programs, as each architecture's build made them (they are run where they are built, so
# never joined): every executable in bin/ but the tool, the test host's inside its application.
# The test host runs the plug-in and has its minimum system; the others have the tool's.
testhost=tavrin-testhost.app
testPrograms=()
for arch in "${archs[@]}"; do
  programs=()
  while IFS= read -r program; do programs+=("$program"); done \
    < <(cd "$out/$arch/bin" && find . -type f -perm -u+x ! -name vornex-port | sed 's|^\./||' | sort)
  for program in "${programs[@]}"; do
    name="$(basename "$program")"
    check "$name [$arch] architectures" "$arch" "$("$llvm/llvm-lipo" -archs "$out/$arch/bin/$program" | xargs)"
    inspectSlice "$name" "$out/$arch/bin/$program" "$arch" EXECUTE "$([ "$name" == tavrin-testhost ] && echo 15.0 || echo 11.0)"
  done
  testPrograms+=("$(printf '%s\n' "${programs[@]}" | xargs -n1 basename | xargs)")
done
check "test programs, the same for both architectures" "${testPrograms[0]}" "${testPrograms[1]}"
check "test host layout [arm64]" "Contents/Info.plist Contents/MacOS/tavrin-testhost" \
  "$(cd "$out/arm64/bin/$testhost" && find . -type f -o -type l | sed 's|^\./||' | sort | xargs)"
# The identifier must begin with the one the plug-in takes for its host, literally.
hostPrefix="$(sed -n 's/.*kHostIdentifierPrefix\[\] = "\([^"]*\)".*/\1/p' autostart/plugin.cc)"
check "test host Info.plist [arm64]" "APPL tavrin-testhost $hostPrefix.tavrin-testhost 15.0" \
  "$(plist "$out/arm64/bin/$testhost/Contents/Info.plist" CFBundlePackageType CFBundleExecutable CFBundleIdentifier \
       LSMinimumSystemVersion)"

# Clang's static analyzer over every source of ours as the arm64 build compiled it, the tests and the test
# host included (the code has no architecture conditionals). The plug-in is one unit of headers, which the analyzer skips unless told
# to read them. The retain-count checker applies Core Foundation's Create/Copy rule to function names, so
# a report here may be a name that promises what the function does not do. simdjson and GoogleTest are not ours.
analyzer=(--analyze -Xclang -analyzer-checker=core,cplusplus,unix,deadcode,osx.cocoa.RetainCount,osx.coreFoundation
  -Xclang -analyzer-opt-analyze-headers -Xclang -analyzer-output=text)
# A test source is read with tools/analyzer-gtest-model.h first, which tells the analyzer what a passing
# ASSERT is, so that a failed one's early return is not taken for a leak.
reports="$(python3 - "$out/arm64/compile_commands.json" "$PWD/" "$out/" "${analyzer[@]}" <<'PY'
import json, re, shlex, subprocess, sys
commands, ours, built, analyzer = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
mine = lambda path: path.startswith(ours) and not path.startswith(built)
report = re.compile(r"^(/[^:]+):\d+:\d+: warning: ")
model = ["-include", ours + "tools/analyzer-gtest-model.h"]
for entry in json.load(open(commands)):
    if not mine(entry["file"]):
        continue
    with open(entry["file"], encoding="utf-8") as source:
        tests = "#include <gtest/gtest.h>" in source.read()
    words = shlex.split(entry["command"])
    kept, skip = [], False
    for word in words[1:]:
        if skip:
            skip = False
        elif word == "-o":
            skip = True
        elif word != "-c" and not word.startswith("-W"):
            kept.append(word)
    run = subprocess.run([words[0], *analyzer, *(model if tests else []), "-o", "/dev/null", *kept],
                         cwd=entry["directory"], capture_output=True, text=True)
    if run.returncode != 0:
        print(f"{entry['file']}: the analyzer failed: {run.stderr.strip()}")
    for line in run.stderr.splitlines():
        match = report.match(line)
        if match and mine(match.group(1)):
            print(line)
PY
)"
[ -z "$reports" ] || echo "$reports"
check "clang analyzer reports in our files [arm64]" 0 "$(grep -c . <<<"$reports" || true)"

echo "universal products: $out/universal/$tool and $out/universal/$bundle"
echo "test programs built: ${#programs[@]} per architecture (${testPrograms[0]}), in $out/<architecture>/bin"
echo "macos-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

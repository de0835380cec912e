#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer into build-fuzz/ (installing
# the compiler when it is missing), then either runs their short smoke runs
# (no argument) or runs each target for SECONDS and merges what it found into
# its corpus under tests/fuzz/corpus/.
#
#   tools/fuzz.sh             smoke runs, as CI does
#   tools/fuzz.sh SECONDS     longer runs, one target after the other
#   FUZZ_TARGETS="fuzz_line" tools/fuzz.sh 600    only some targets
set -euo pipefail
cd "$(dirname "$0")/.."

budget="${1:-}"
if [ -n "$budget" ] && ! [[ "$budget" =~ ^[0-9]+$ ]]; then
  echo "usage: tools/fuzz.sh [SECONDS per target]" >&2
  exit 64
fi

tools/install-packages.sh cmake g++ make pkg-config libsimdjson-dev clang libclang-rt-14-dev

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DFUZZ=ON -DWARNINGS_AS_ERRORS=ON
cmake --build "$build" -j "$(nproc)"

if [ -z "$budget" ]; then
  ctest --test-dir "$build" --output-on-failure -L fuzz -j "$(nproc)"
  exit 0
fi

targets=(${FUZZ_TARGETS:-fuzz_line fuzz_port_frames fuzz_menu_search})
status=0
for target in "${targets[@]}"; do
  corpus="tests/fuzz/corpus/$target"
  work="$build/tests/fuzz/long/$target"
  rm -rf "$work"
  mkdir -p "$work/units" "$corpus"
  args=(-max_total_time="$budget" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/")
  [ -f "tests/fuzz/$target.dict" ] && args+=(-dict="tests/fuzz/$target.dict")
  echo "== $target: $budget s"
  if ! "$build/bin/$target" "${args[@]}" "$work/units" "$corpus"; then
    echo "== $target failed; the input that did it is in $work" >&2
    status=1
    continue
  fi
  # Only units that add coverage join the corpus, so it stays small.
  before=$(find "$corpus" -type f | wc -l)
  "$build/bin/$target" -merge=1 -artifact_prefix="$work/" "$corpus" "$work/units" 2>"$work/merge.log" || {
    echo "== $target: merge failed, see $work/merge.log" >&2
    status=1
    continue
  }
  after=$(find "$corpus" -type f | wc -l)
  echo "== $target: corpus $before -> $after files, $(du -sb "$corpus" | cut -f1) bytes"
done
exit $status

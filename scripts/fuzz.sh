#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each one.
# Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tree=${TC_BUILD_ROOT:-$root/build}/fuzz

scripts/install-deps.sh >&2
cmake -S "$root" -B "$tree" -G Ninja -Wno-dev -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTC_FUZZ=ON \
  -DTC_BUILD_TESTS=OFF >/dev/null
cmake --build "$tree" -j2 --target fuzz_all
exec scripts/fuzz-run.sh "$tree" "${1:-20}"

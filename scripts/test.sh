#!/usr/bin/env bash
# Builds the connector for Linux (plain and with sanitizers) and for Windows
# (mingw-w64), then runs every test in one ctest run: the Linux tests, the
# sanitizer tests, the Windows tests under Wine and the end-to-end runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${TC_BUILD_ROOT:-$root/build}

scripts/install-deps.sh

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$build/$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

configure windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build/windows" -j2
configure sanitize -DTC_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build/sanitize" -j2 --target tc_tests
configure linux -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTC_WINDOWS_BUILD_DIR="$build/windows" -DTC_EXTRA_LINUX_BUILD_DIRS="$build/sanitize"
cmake --build "$build/linux" -j2

# The first Wine start creates its prefix; do it once, before tests race to.
scripts/wine-run.sh cmd /c exit >/dev/null 2>&1 || true

ctest --test-dir "$build/linux" --output-on-failure -j2 --timeout 1800

#!/usr/bin/env bash
# Builds the connector for Linux (plain, with ASan/UBSan and with TSan), for
# Windows (mingw-w64) and the fuzz targets (clang), then runs every test in
# one ctest run: the Linux tests, the sanitizer tests, the Windows tests under
# Wine, the end-to-end runs and a short run of each fuzz target.
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
# Races between the manager, the workers, the log and the service host. The
# end-to-end suites start real processes and are covered by the other trees.
configure tsan -DTC_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build/tsan" -j2 --target tc_tests
configure fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTC_FUZZ=ON -DTC_BUILD_TESTS=OFF
cmake --build "$build/fuzz" -j2 --target fuzz_all
configure linux -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTC_WINDOWS_BUILD_DIR="$build/windows" \
  -DTC_EXTRA_LINUX_BUILD_DIRS="$build/sanitize;$build/tsan" \
  -DTC_EXTRA_LINUX_TEST_FILTERS="tsan=-*E2E*" \
  -DTC_FUZZ_BUILD_DIR="$build/fuzz"
cmake --build "$build/linux" -j2

# The first Wine start creates its prefix; do it once, before tests race to.
scripts/wine-run.sh cmd /c exit >/dev/null 2>&1 || true

ctest --test-dir "$build/linux" --output-on-failure -j2 --timeout 1800

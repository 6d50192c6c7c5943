#!/usr/bin/env bash
# The release artefacts of a Windows tree: the executable the setup ships is
# stripped (no debug sections, no symbol table) and carries the same code as
# the tree's tested executable; its debug link names the debug file beside it
# with that file's checksum, and that file maps an address back to its
# function and source line; the setup stays under 1.5 MB; a tree configured
# without a certificate signs nothing.
# Usage: TC_VERSION=<project version> release_test.sh WINDOWS_BUILD_DIR
# Exit code 77: skipped (no setup can be built here).
set -euo pipefail

build=$(cd "$1" && pwd)
version=${TC_VERSION:?"TC_VERSION must name the project's version (ctest sets it)"}
setup="$build/TolvenarConnector-$version-setup.exe"
exe="$build/TolvenarConnector.exe"
release="$build/release/TolvenarConnector.exe"
debug="$release.debug"
max_setup_size=1500000
tools=x86_64-w64-mingw32

if ! cmake --build "$build" --target setup > /dev/null 2>&1 && [ ! -f "$setup" ]; then
  echo "SKIPPED: the Windows tree has no setup target (makensis missing when it was configured)"
  exit 77
fi

failed=0
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }
for f in "$setup" "$release" "$debug"; do
  [ -f "$f" ] || { echo "missing $f" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tc-release-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Stripped.
"$tools-objdump" -h "$release" > "$work/sections"
! grep -q -E ' \.debug_' "$work/sections" || fail "the release executable has debug sections"
"$tools-nm" "$release" > "$work/symbols" 2>&1 || true
grep -q 'no symbols' "$work/symbols" || fail "the release executable has a symbol table"
grep -q -E ' \.gnu_debuglink ' "$work/sections" || fail "the release executable has no debug link"

# The same code as the executable the tests run.
for f in "$exe" "$release"; do
  "$tools-objcopy" -O binary --only-section=.text "$f" "$work/$(basename "$(dirname "$f")").text"
done
cmp -s "$work/$(basename "$build").text" "$work/release.text" || fail "the release executable's code differs"

# The debug link: the file's name, padding to 4 bytes, its CRC-32.
"$tools-objcopy" --dump-section .gnu_debuglink="$work/debuglink" "$release" "$work/scratch.exe"
python3 - "$work/debuglink" "$debug" <<'PY' || fail "debug link"
import struct, sys, zlib
link = open(sys.argv[1], "rb").read()
name = link[:link.index(b"\0")].decode()
crc = struct.unpack("<I", link[-4:])[0]
actual = zlib.crc32(open(sys.argv[2], "rb").read()) & 0xFFFFFFFF
if name != "TolvenarConnector.exe.debug" or crc != actual:
    sys.exit(f"names {name!r} with CRC {crc:08x}; the debug file's CRC is {actual:08x}")
PY

# What a crash analysis needs from the debug file (when the build type
# produces debug information at all).
"$tools-objdump" -h "$debug" > "$work/debug-sections"
if "$tools-objdump" -h "$exe" > "$work/exe-sections" && grep -q ' \.debug_info ' "$work/exe-sections"; then
  grep -q ' \.debug_info ' "$work/debug-sections" || fail "the debug file has no debug information"
  address=$("$tools-nm" "$debug" | awk '$3 == "main" { print $1 }')
  [ -n "$address" ] || fail "the debug file has no symbol main"
  where=$("$tools-addr2line" -f -e "$debug" "0x${address:-0}" | tr '\n' ' ')
  case "$where" in
    "main "*src/host/main.cpp:[0-9]*) ;;
    *) fail "address of main resolves to: $where" ;;
  esac
else
  echo "NOTE: this build type has no debug information; only the link is checked"
fi

size=$(stat -c %s "$setup")
echo "setup: $size bytes; release executable: $(stat -c %s "$release") bytes; debug file: $(stat -c %s "$debug") bytes"
[ "$size" -lt "$max_setup_size" ] || fail "the setup has $size bytes (limit $max_setup_size)"

# Unsigned unless the tree was given a certificate: no certificate table.
if ! grep -q -E '^TC_SIGN_PKCS12:FILEPATH=.+' "$build/CMakeCache.txt"; then
  for f in "$release" "$setup"; do
    "$tools-objdump" -p "$f" > "$work/headers"
    grep -q -E '^Entry 4 0+ 0+ Security Directory' "$work/headers" ||
      fail "$(basename "$f") carries a signature in an unsigned build"
  done
fi

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "Windows release artefacts: OK"

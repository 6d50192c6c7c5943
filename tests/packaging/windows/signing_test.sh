#!/usr/bin/env bash
# A signed build: a throwaway root and code signing certificate (openssl), a
# Windows tree of its own configured with them, then osslsigncode's check,
# against that root, of the release executable, of the setup, and of the
# executable and the uninstaller that the setup installs (under Wine, in a
# prefix of its own). A second throwaway root must not verify them.
# The tree is WINDOWS_BUILD_DIR-signed, with the same build type and compiler
# launcher as WINDOWS_BUILD_DIR, and is kept: later runs only sign again.
# Usage: TC_VERSION=<project version> signing_test.sh SOURCE_DIR WINDOWS_BUILD_DIR
# Exit code 77: skipped (makensis, osslsigncode, openssl or Wine missing).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
main_tree=$(cd "$2" && pwd)
tree="$main_tree-signed"
version=${TC_VERSION:?"TC_VERSION must name the project's version (ctest sets it)"}

WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine || true)
for tool in makensis osslsigncode openssl; do
  command -v "$tool" > /dev/null || { echo "SKIPPED: $tool not installed"; exit 77; }
done
[ -n "$WINE" ] || { echo "SKIPPED: Wine not installed"; exit 77; }
WINESERVER="$(dirname "$WINE")/wineserver"
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

failed=0
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }

# The certificates: made afresh on every run, in the tree so that its cache
# keeps the same paths.
keys="$tree/keys"
rm -rf "$keys"
mkdir -p "$keys"
make_root() {  # name
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/$1.key" -out "$keys/$1.pem" -days 2 \
    -subj "/CN=$1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2> /dev/null
}
make_root "Raiz de teste"
make_root "Outra raiz"
openssl req -newkey rsa:2048 -nodes -keyout "$keys/signer.key" -out "$keys/signer.csr" \
  -subj "/CN=Tolvenar teste" 2> /dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  > "$keys/signer.ext"
openssl x509 -req -in "$keys/signer.csr" -CA "$keys/Raiz de teste.pem" -CAkey "$keys/Raiz de teste.key" \
  -CAcreateserial -out "$keys/signer.pem" -days 2 -extfile "$keys/signer.ext" 2> /dev/null
printf 'senha de teste\n' > "$keys/password"
openssl pkcs12 -export -inkey "$keys/signer.key" -in "$keys/signer.pem" -out "$keys/signer.p12" \
  -passout "file:$keys/password" -name "Tolvenar teste"

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$main_tree/CMakeCache.txt"; }
launcher=$(cache_value CMAKE_CXX_COMPILER_LAUNCHER)
cmake -S "$source_dir" -B "$tree" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE="$(cache_value CMAKE_BUILD_TYPE)" \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DCMAKE_C_COMPILER_LAUNCHER="$launcher" \
  -DTC_BUILD_TESTS=OFF -DTC_SIGN_PKCS12="$keys/signer.p12" -DTC_SIGN_PASSWORD_FILE="$keys/password" \
  -DTC_SETUP_TEST_DEFINES=TC_ACCESS_LISTS_UNVERIFIED \
  > "$keys/configure.log" 2>&1 || { cat "$keys/configure.log" >&2; exit 1; }
grep -q -F -- "-- Windows artefacts signed with $keys/signer.p12" "$keys/configure.log" ||
  fail "the configuration does not say that it signs"
cmake --build "$tree" --target setup -j2 > "$keys/build.log" 2>&1 || { tail -30 "$keys/build.log" >&2; exit 1; }

setup="$tree/TolvenarConnector-$version-setup.exe"
release="$tree/release/TolvenarConnector.exe"

# The setup installs under Wine: it runs (NSIS's own integrity check passes
# on the signed file) and writes the signed executable and uninstaller.
work=$(mktemp -d "${TMPDIR:-/tmp}/tc-signing-test.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
trap '"$WINESERVER" -k 2>/dev/null || true; rm -rf "$work"' EXIT
"$WINE" wineboot -i > /dev/null 2>&1
"$WINESERVER" -w 2> /dev/null || true
W=$(printf 'Z:%s' "${work//\//\\}")
SETUP=$(printf 'Z:%s' "${setup//\//\\}")
cat > "$work/install.bat" <<EOF
@echo off
"$SETUP" /S /SERVER=https://127.0.0.1:9/ /CNPJ=12.345.678/0001-95 /CODE=ab-12cd > "$W\\install-stdout.txt"
echo [install exit %ERRORLEVEL%]
EOF
timeout 600 "$WINE" cmd /c "$W\\install.bat" > "$work/install.txt" 2>&1 || true
"$WINESERVER" -w 2> /dev/null || true
grep -q -F "[install exit 0]" "$work/install.txt" || {
  fail "the signed setup did not install"
  tr -d '\r' < "$work/install.txt" >&2
  tr -d '\r' < "$work/install-stdout.txt" >&2 || true
}
program="$WINEPREFIX/drive_c/Program Files/Tolvenar/Connector"
cmp -s "$release" "$program/TolvenarConnector.exe" || fail "the installed executable is not the release one"

for f in "$release" "$setup" "$program/TolvenarConnector.exe" "$program/Desinstalar.exe"; do
  name=${f#"$tree/"}
  name=${name#"$WINEPREFIX/drive_c/"}
  if ! osslsigncode verify -CAfile "$keys/Raiz de teste.pem" -in "$f" > "$work/verify.txt" 2>&1; then
    fail "$name: not signed by the test root"
    cat "$work/verify.txt" >&2
  elif ! grep -q -E '^Message digest algorithm *: SHA256' "$work/verify.txt"; then
    fail "$name: not signed with SHA-256"
  fi
  ! osslsigncode verify -CAfile "$keys/Outra raiz.pem" -in "$f" > /dev/null 2>&1 ||
    fail "$name: verified against an unrelated root"
done

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "Windows signed build: OK"

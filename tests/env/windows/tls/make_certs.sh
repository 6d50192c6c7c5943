#!/usr/bin/env bash
# Regenerates the certificates of the WinHTTP transport tests (valid for a
# century, except expired.pem): a test root, a second unrelated root, and
# leaves signed by the test root.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

root() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$1.pem" -days 36500 \
    -subj "/CN=$2" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

leaf() {  # name key-file extended-usage start end
  openssl req -new -key "$2" -subj "/CN=localhost" -out "$work/$1.csr" 2>/dev/null
  cat > "$work/$1.ext" <<EXT
basicConstraints=CA:FALSE
subjectAltName=DNS:localhost
extendedKeyUsage=$3
EXT
  cat > "$work/ca.cnf" <<CNF
[ca]
default_ca=test
[test]
database=$work/index.txt
new_certs_dir=$work
serial=$work/serial
default_md=sha256
policy=any
[any]
commonName=supplied
CNF
  : > "$work/index.txt"
  [ -f "$work/serial" ] || echo 1000 > "$work/serial"
  openssl ca -batch -config "$work/ca.cnf" -cert test_root.pem -keyfile "$work/test_root.key" \
    -in "$work/$1.csr" -out "$work/$1.full" -extfile "$work/$1.ext" \
    -startdate "$4" -enddate "$5" -notext 2>/dev/null
  openssl x509 -in "$work/$1.full" -out "$1.pem"
}

root test_root "Tolvenar Test Root"
root other_root "Unrelated Test Root"
openssl genrsa -out localhost.key 2048 2>/dev/null
leaf localhost localhost.key serverAuth 20240101000000Z 21240101000000Z
leaf expired localhost.key serverAuth 20000101000000Z 20010101000000Z
leaf client_only localhost.key clientAuth 20240101000000Z 21240101000000Z

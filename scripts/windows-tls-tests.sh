#!/usr/bin/env bash
# Runs the WinHTTP TLS tests of a Windows test binary under Wine against a
# TLS server outside Wine (Wine 8 cannot serve TLS itself).
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 "$here/../tests/env/windows/tls/https_server.py" "$port" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
TC_TLS_TEST_PORT=$port "$here/wine-run.sh" "$exe" --gtest_filter='WinHttpTls*'

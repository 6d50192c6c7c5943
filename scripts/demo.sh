#!/usr/bin/env bash
# The connector's whole job on this machine, in one command.
#
# Builds the Linux executable and the two reference servers, starts the
# reference connection server and the sample local API on loopback, lays out
# a folder with the connector and its INI, runs it in console mode until it
# has enrolled and relayed a handful of commands, ends it through its
# standard input (ENTER) and shows what the server received, the INI after
# enrollment and the activity log. Everything it starts is stopped on exit.
#
# The connector talks plain HTTP to a server on loopback here, allowed by
# PermitirHTTPInseguro=1: for homologation only, never in production.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${TC_DEMO_BUILD_DIR:-$root/build/demo}

scripts/install-deps.sh
echo "== Building the connector and the reference servers in $build"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -G Ninja -Wno-dev -DTC_BUILD_TESTS=OFF &&
       cmake --build "$build" -j2 --target TolvenarConnector tolvenar-reference-server \
         tolvenar-sample-local-api; } >"$build/demo-build.log" 2>&1; then
  tail -n 40 "$build/demo-build.log"
  echo "The build failed; the whole output is in $build/demo-build.log"
  exit 1
fi
tools=$build/tools/reference_server

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvenar-demo.XXXXXX")
. scripts/lib/background.sh
cleanup() {
  stop_background
  if [ -n "${TC_DEMO_KEEP:-}" ]; then echo "Files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

cnpj=12.345.678/0001-95
code=demo-2024

echo "== Starting the reference connection server and the sample local API"
"$tools/tolvenar-reference-server" --port 0 --port-file "$work/server.port" \
  --code "$cnpj:$code" >"$work/server.out" 2>&1 &
pids+=($!)
"$tools/tolvenar-sample-local-api" --port 0 --port-file "$work/api.port" \
  --fail /api/v1/finance/dre=500 >"$work/api.out" 2>&1 &
pids+=($!)
wait_until '[ -s "$work/server.port" ] && [ -s "$work/api.port" ]' 100 ||
  { echo "The servers did not start:"; cat "$work/server.out" "$work/api.out"; exit 1; }
server=http://127.0.0.1:$(cat "$work/server.port")
api=http://127.0.0.1:$(cat "$work/api.port")
echo "   connection server: $server"
echo "   local API:         $api (/api/v1/finance/dre made to fail with 500)"

queue() {  # a command object for the next poll
  curl -fsS -X POST -H 'Content-Type: application/json' --data-binary "$1" \
    "$server/admin/commands" >/dev/null
}
queue '{"id":"health","method":"GET","path":"/api/v1/health"}'
queue '{"id":"login","method":"POST","path":"/api/v1/auth/login","body":"{\"usuario\":\"demo\",\"senha\":\"demo\"}"}'
queue '{"id":"ping","method":"GET","path":"/api/v1/secure/ping","authorization":"Bearer demo-token","session_token":"sess-demo"}'
queue '{"id":"sections","method":"GET","path":"/api/v1/sales/sections"}'
queue '{"id":"outside","method":"GET","path":"/admin/requests"}'
queue '{"id":"failing","method":"GET","path":"/api/v1/finance/dre"}'
commands=6

app=$work/app
mkdir "$app"
cp "$build/TolvenarConnector" "$app/"
printf '%s\r\n' "[Connector]" "Servidor=$server" "PermitirHTTPInseguro=1" "CNPJ=$cnpj" \
  "CodigoVinculacao=$code" "APILocal=$api" "IntervaloConsultaMS=1000" \
  >"$app/TolvenarConnector.ini"
echo "== $app/TolvenarConnector.ini before the run"
tr -d '\r' <"$app/TolvenarConnector.ini" | sed 's/^/   /'

if [ "$(id -u)" -ne 0 ]; then
  echo "Note: the connector keeps its machine key in /var/lib/tolvenar-connector;" \
    "without write access there it cannot store the secret."
fi

echo "== Running: TolvenarConnector -console, until $commands results are in"
SECONDS=0
mkfifo "$work/stdin"
(cd "$app" && exec ./TolvenarConnector -console <"$work/stdin" >"$work/console.txt" 2>&1) &
connector=$!
pids+=($connector)
exec 3<>"$work/stdin"  # read-write: never blocks, and keeps the input open

results() { curl -fsS "$server/admin/status" | grep -o '"results":[0-9]*' | cut -d: -f2; }
status=0
if ! wait_until '[ "$(results)" -ge "$commands" ]' 400; then
  echo "!! Only $(results) of $commands results arrived within 40 s."
  status=1
fi
if [ "$status" -eq 0 ]; then
  echo "== The server now answers polls with 503 until the connector has logged one"
  curl -fsS -X POST --data-binary '{"poll_status":503}' "$server/admin/faults" >/dev/null
  wait_until 'grep -qs "HTTP 503" "$app/TolvenarConnector.log"' 100 || status=1
  curl -fsS -X POST --data-binary '{"poll_status":0}' "$server/admin/faults" >/dev/null
fi
echo "== Sending ENTER"
printf '\n' >&3
if wait_until '! kill -0 "$connector" 2>/dev/null' 150; then
  wait "$connector" && code_exit=0 || code_exit=$?
  echo "   The connector ended with exit code $code_exit."
  [ "$code_exit" -eq 0 ] || status=1
else
  echo "!! The connector did not end within 15 s of ENTER."
  status=1
fi

echo
echo "== Console output"
sed 's/^/   /' "$work/console.txt"
echo
echo "== What the connection server received"
curl -fsS "$server/admin/report" | sed 's/^/   /'
echo
echo "== What the local API received"
curl -fsS "$api/admin/report" | sed 's/^/   /'
echo
echo "== TolvenarConnector.ini after enrollment (ConnectorID and protected secret set, code emptied)"
tr -d '\r' <"$app/TolvenarConnector.ini" | sed 's/^/   /'
echo
echo "== TolvenarConnector.log"
if [ -f "$app/TolvenarConnector.log" ]; then
  tr -d '\r' <"$app/TolvenarConnector.log" | sed 's/^/   /'
fi
echo
if [ "$status" -eq 0 ]; then
  echo "Demonstration complete (the connector ran for $SECONDS s)."
else
  echo "Demonstration FAILED."
fi
exit "$status"

#!/usr/bin/env bash
# Measures the connector on this machine and prints one table, each figure
# with how it was taken. Nothing is asserted; not part of the tests.
#
# Builds an optimised tree (build/bench) with the micro-benchmarks, the
# connector and the reference servers; runs the micro-benchmarks; then runs
# the connector in console mode against the reference servers on loopback:
# idle footprint with 1, 10 and 50 profiles, the cost of a relayed command
# with 20 profiles over HTTP and HTTPS, peak memory relaying a 10 MB local
# answer, and the times from start to the first poll and from ENTER to exit.
# Usage: scripts/bench.sh [idle seconds, default 60]
#        scripts/bench.sh --side-by-side [idle seconds, default 30]
# The second form runs the connector and the plain Python relay of
# bench/python_relay.py through the same jobs in one run and prints both
# columns and their ratio (scripts/lib/side_by_side.sh).
# The HTTPS figure trusts a certificate made for the run by giving the
# connector alone (in a private mount namespace, so root and unshare(1) are
# needed) a CA bundle that includes it; without them that row says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tree=${TC_BUILD_ROOT:-$root/build}/bench
mode=table
if [ "${1:-}" = --side-by-side ]; then
  mode=side-by-side
  shift
fi
idle_seconds=${1:-60}
side_seconds=${1:-30}

scripts/install-deps.sh >&2
echo "Building the optimised tree in $tree ..." >&2
# -O2, as in the shipped RelWithDebInfo build, rather than Release's -O3.
cmake -S "$root" -B "$tree" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DTC_BENCH=ON -DTC_BUILD_TESTS=OFF >/dev/null
cmake --build "$tree" -j2 --target tc_bench TolvenarConnector tolvenar-reference-server \
  tolvenar-sample-local-api >/dev/null
tools=$tree/tools/reference_server

rows=()
row() { rows+=("$(printf '%-44s | %-28s | %s' "$1" "$2" "$3")"); }

# --- Micro-benchmarks ------------------------------------------------------
[ "$mode" = table ] && echo "Running the micro-benchmarks ..." >&2
csv=
[ "$mode" = table ] &&
  csv=$("$tree/bench/tc_bench" --benchmark_format=csv --benchmark_min_time=0.5 2>/dev/null |
    grep -E '^"?BM_')
while IFS=, read -r name iterations real cpu unit bytes_per_second _; do
  name=${name//\"/}
  value=$(awk -v t="$cpu" -v u="$unit" 'BEGIN{
    split("ns us ms s", units, " "); for (i = 1; i <= 4; i++) if (units[i] == u) k = i
    while (t >= 1000 && k < 4) { t /= 1000; k++ }
    printf "%.3g %s", t, units[k] }')
  [ -n "$bytes_per_second" ] &&
    value="$value ($(awk -v b="$bytes_per_second" 'BEGIN{printf "%.0f MB/s", b/1e6}'))"
  row "$name" "$value" "Google Benchmark, CPU time per iteration, $iterations iterations"
done < <([ -n "$csv" ] && printf '%s\n' "$csv")

# --- System figures --------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvenar-bench.XXXXXX")
. scripts/lib/background.sh
cleanup() {
  stop_background
  rm -rf "$work"
}
trap cleanup EXIT
ticks=$(getconf CLK_TCK)
cpu_ms() {  # utime + stime of a process, in ms
  awk -v t="$ticks" '{sub(/.*\) /, ""); printf "%d", ($12 + $13) * 1000 / t}' "/proc/$1/stat"
}
status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
now_us() { date +%s%6N; }

start_server() {  # name, extra options...; prints the base URL
  local name=$1
  shift
  "$tools/tolvenar-reference-server" --port 0 --port-file "$work/$name.port" "$@" \
    >"$work/$name.out" 2>&1 &
  pids+=($!)
  wait_until "[ -s '$work/$name.port' ]" 100
}
start_server server
server=http://127.0.0.1:$(cat "$work/server.port")
"$tools/tolvenar-sample-local-api" --port 0 --port-file "$work/api.port" >"$work/api.out" 2>&1 &
pids+=($!)
wait_until '[ -s "$work/api.port" ]' 100
api=http://127.0.0.1:$(cat "$work/api.port")

# The admin routes of the server at `base` (https with the run's CA).
use_admin() {  # base URL
  admin_base=$1
  local tls=()
  [[ "$admin_base" == https:* ]] && tls=(--cacert "$work/ca.pem")
  admin_tls=("${tls[@]}")
}
admin() { curl -fsS "${admin_tls[@]}" "$admin_base$1"; }
admin_post() {
  curl -fsS "${admin_tls[@]}" -X POST -H 'Content-Type: application/json' --data-binary "$2" \
    "$admin_base$1"
}
admin_status() { admin /admin/status | grep -o "\"$1\":[0-9]*" | cut -d: -f2; }
admin_tls=()
use_admin "$server"

# An HTTPS reference server with a certificate from a CA made for the run,
# and a CA bundle that adds it ($work/bundle.pem); sets $tls_base.
make_tls_server() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=bench-ca \
    -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$work/tls.key" \
    -out "$work/tls.csr" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/san.ext"
  openssl x509 -req -in "$work/tls.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -extfile "$work/san.ext" -out "$work/tls.pem" 2>/dev/null
  cat /etc/ssl/certs/ca-certificates.crt "$work/ca.pem" >"$work/bundle.pem"
  start_server tls --cert "$work/tls.pem" --key "$work/tls.key"
  tls_base=https://127.0.0.1:$(cat "$work/tls.port")
}

# Lays out a folder with the executable and an INI of `count` profiles whose
# codes the server knows; sets $app.
app=
prepare_app() {  # server URL, profiles, poll interval in ms
  local url=$1 count=$2 interval=$3
  app=$work/app-$count-$RANDOM
  mkdir "$app"
  cp "$tree/TolvenarConnector" "$app/"
  : >"$app/TolvenarConnector.ini"
  for ((i = 0; i < count; i++)); do
    local cnpj code=bench-$RANDOM-$i
    cnpj=$(printf '%014d' $((RANDOM * 100000 + i)))
    admin_post /admin/codes "{\"cnpj\":\"$cnpj\",\"code\":\"$code\"}" >/dev/null
    printf '%s\r\n' "[Connector_$i]" "Servidor=$url" "PermitirHTTPInseguro=1" "CNPJ=$cnpj" \
      "CodigoVinculacao=$code" "APILocal=$api" "IntervaloConsultaMS=$interval" \
      >>"$app/TolvenarConnector.ini"
  done
}

# Starts the connector of $app in console mode (through `launcher` when
# set), its standard input on descriptor 3; sets $connector.
connector=
launcher=()
relay_command=(./TolvenarConnector -console)
start_connector() {
  rm -f "$work/stdin"
  mkfifo "$work/stdin"
  (cd "$app" && exec "${launcher[@]}" "${relay_command[@]}" <"$work/stdin" \
    >>"$app/console.txt" 2>&1) &
  connector=$!
  pids+=($connector)
  exec 3<>"$work/stdin"
}
stop_connector() {
  printf '\n' >&3
  wait "$connector" 2>/dev/null || true
  exec 3>&-
}
run_connector() {  # server URL, profiles, poll interval in ms
  local enrolled_before
  enrolled_before=$(admin_status enrollments)
  prepare_app "$@"
  start_connector
  wait_until "[ \"\$(admin_status enrollments)\" -ge $((enrolled_before + $2)) ]" 600 ||
    echo "warning: not every profile enrolled" >&2
}

if [ "$mode" = side-by-side ]; then
  . scripts/lib/side_by_side.sh
  side_by_side
  exit 0
fi

# --- Idle footprint
for count in 1 10 50; do
  echo "Idle footprint with $count profile(s), ${idle_seconds}s ..." >&2
  run_connector "$server" "$count" 3000
  sleep 3  # past the enrollments' own work
  before=$(cpu_ms "$connector")
  sleep "$idle_seconds"
  used=$(($(cpu_ms "$connector") - before))
  rss=$(status_kb "$connector" VmRSS)
  threads=$(status_kb "$connector" Threads)
  row "Idle, $count profile(s): RSS" "$((rss / 1024)) MB ($threads threads)" \
    "VmRSS from /proc/<pid>/status after ${idle_seconds}s idle, polling every 3000 ms"
  row "Idle, $count profile(s): CPU" \
    "$(awk -v u="$used" -v s="$idle_seconds" 'BEGIN{printf "%.2f%% of a core", u/(s*10)}')" \
    "utime+stime from /proc/<pid>/stat over ${idle_seconds}s, no commands"
  stop_connector
done

# --- Start and stop
echo "Start and stop with 20 enrolled profiles ..." >&2
run_connector "$server" 20 1000
stop_connector
sleep 1
started=$(now_us)
start_connector
sleep 3  # every profile has polled by now
read -r first all _ < <(admin /admin/requests | python3 -c '
import json, sys
t = int(sys.argv[1])
polls = {}
for r in json.load(sys.stdin):
    if r["target"].endswith("action=connector-poll") and r["received_unix_us"] >= t:
        key = dict((n.lower(), v) for n, v in r["headers"]).get("x-tolvenar-connector")
        polls.setdefault(key, r["received_unix_us"])
times = sorted(polls.values())
print((times[0] - t) / 1000, (times[-1] - t) / 1000, len(times))' "$started")
row "Start to first poll, 20 profiles" "$(printf '%.0f ms (all 20: %.0f ms)' "$first" "$all")" \
  "launch of the enrolled connector to the server receiving its first / 20th first poll"
sleep 2
stopped=$(now_us)
stop_connector
row "ENTER to exit, 20 profiles" "$(awk -v d=$(($(now_us) - stopped)) 'BEGIN{printf "%.0f ms", d/1000}')" \
  "ENTER to process exit, workers pausing 1000 ms between polls (a pause runs to its end)"

# --- Relay cost
relay_cost() {  # label, server URL
  local label=$1 url=$2 commands=200
  echo "Relay cost with 20 profiles over $label ..." >&2
  run_connector "$url" 20 1000
  sleep 3
  local before idle_rate results_before used elapsed
  before=$(cpu_ms "$connector")
  sleep 10
  idle_rate=$(($(cpu_ms "$connector") - before))  # ms per 10 s
  row "Polling over $label, 20 profiles: CPU" \
    "$(awk -v u="$idle_rate" 'BEGIN{printf "%.2f%% of a core", u/100}')" \
    "utime+stime over 10 s, every profile polling every 1000 ms, no commands"
  results_before=$(admin_status results_total)
  for ((i = 0; i < commands; i++)); do
    admin_post /admin/commands \
      "{\"id\":\"$label-$i\",\"method\":\"GET\",\"path\":\"/api/v1/sales/sections\"}" >/dev/null
  done
  before=$(cpu_ms "$connector")
  SECONDS=0
  wait_until "[ \"\$(admin_status results_total)\" -ge $((results_before + commands)) ]" 1200 ||
    echo "warning: not every result arrived" >&2
  elapsed=$SECONDS
  used=$(($(cpu_ms "$connector") - before))
  row "Relay over $label, 20 profiles: CPU" \
    "$(awk -v u="$used" -v i="$idle_rate" -v e="$elapsed" -v n="$commands" \
      'BEGIN{c=(u - i*e/10)/n; if (c<0) c=0; printf "%.2f ms per command", c}')" \
    "(CPU while $commands queued GETs were relayed - idle CPU for the same ${elapsed}s) / $commands"
  row "Relay over $label, 20 profiles: wall" \
    "$(admin /admin/results | python3 -c '
import json, statistics, sys
times = [r["relay_us"] / 1000 for r in json.load(sys.stdin) if r["command_id"].startswith(sys.argv[1] + "-")]
print("%.1f ms median, %.1f ms p95" % (statistics.median(times), sorted(times)[int(len(times) * 0.95) - 1]))' "$label")" \
    "server handing a command out to receiving its result (poll answer, local GET, result post)"
  stop_connector
}
relay_cost HTTP "$server"

# HTTPS: a CA and a server certificate made for this run; the connector sees
# a CA bundle with that CA through a private mount namespace.
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  make_tls_server
  use_admin "$tls_base"
  launcher=(unshare -m sh -c
    "mount --bind '$work/bundle.pem' /etc/ssl/certs/ca-certificates.crt && exec \"\$0\" \"\$@\"")
  relay_cost HTTPS "$tls_base"
  launcher=()
  use_admin "$server"
else
  row "Relay over HTTPS, 20 profiles" "not measured" "needs root and unshare -m (see the top)"
fi

# --- Large bodies
large_body() {  # label, one character of the body as UTF-8
  local label=$1 unit=$2
  echo "Relaying a 10 MB $label answer ..." >&2
  run_connector "$server" 1 1000
  sleep 2
  local hwm_before results_before hwm
  hwm_before=$(status_kb "$connector" VmHWM)
  python3 -c '
import json, sys
unit = sys.argv[1]
body = unit * (10 * 1024 * 1024 // len(unit.encode()))
sys.stdout.write(json.dumps({"path": "/api/v1/sales/list", "status": 200, "body": body}, ensure_ascii=False))
' "$unit" >"$work/big.json"
  curl -fsS -X POST -H 'Content-Type: application/json' --data-binary "@$work/big.json" \
    "$api/admin/faults" >/dev/null
  results_before=$(admin_status results_total)
  admin_post /admin/commands "{\"id\":\"big-$label\",\"method\":\"GET\",\"path\":\"/api/v1/sales/list\"}" >/dev/null
  wait_until "[ \"\$(admin_status results_total)\" -gt $results_before ]" 600 ||
    echo "warning: the 10 MB result did not arrive" >&2
  hwm=$(status_kb "$connector" VmHWM)
  row "10 MB $label answer, 1 profile: peak RSS" \
    "$((hwm / 1024)) MB (+$(((hwm - hwm_before) / 1024)) MB)" \
    "VmHWM from /proc/<pid>/status after relaying it, and its rise over the idle peak"
  stop_connector
}
large_body ASCII a
large_body non-ASCII 'ç'  # 5 Mi characters, each written as \u00E7 in the result

# --- Hostile answers: compressed bombs from a connection server
bomb() {  # label, python expression of the inflated text's pieces, count
  local label=$1
  echo "Answering with $label ..." >&2
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  python3 - "$port" "$2" "$3" <<'PY' &
import http.server, sys, zlib
port, piece, count = int(sys.argv[1]), eval(sys.argv[2]), int(sys.argv[3])
z = zlib.compressobj(9, zlib.DEFLATED, 31)
body = b"".join(z.compress(piece) for _ in range(count)) + z.flush()
class Bomb(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args): pass
http.server.HTTPServer(("127.0.0.1", port), Bomb).serve_forever()
PY
  pids+=($!)
  local bomb_pid=$!
  wait_until "curl -s -o /dev/null -X POST http://127.0.0.1:$port/" 60 || true
  prepare_app "http://127.0.0.1:$port" 1 1000
  start_connector
  sleep 12  # two enrollment attempts, each answered with the bomb
  local hwm
  hwm=$(status_kb "$connector" VmHWM)
  row "$label: peak RSS" "$((hwm / 1024)) MB" \
    "VmHWM over two answers; each stops at the 64 MiB limit"
  stop_connector
  kill "$bomb_pid" 2>/dev/null || true
}
bomb "gzip bomb, 1 GiB of zeros" 'b"\0" * 1048576' 1024
bomb "gzip of an 80 MB JSON array" 'b"0," * 1048576' 40

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')
echo
echo "Machine: $(nproc) CPU(s), $cpu, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s | %-28s | %s\n' "Figure" "Value" "Method"
printf '%s\n' "$(printf '%.0s-' {1..120})"
printf '%s\n' "${rows[@]}"

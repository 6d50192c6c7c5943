#!/usr/bin/env bash
# Measures the connector on this machine and prints one table, each figure
# with how it was taken. Nothing is asserted; not part of the tests.
#
# Builds an optimised tree (build/bench) with the micro-benchmarks, the
# connector and the reference servers; runs the micro-benchmarks; then runs
# the connector in console mode against the reference servers on loopback:
# idle footprint with 1, 10 and 50 profiles, CPU per relayed command with 20
# profiles, and peak memory relaying a 10 MB local answer.
# Usage: scripts/bench.sh [idle seconds, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tree=${TC_BUILD_ROOT:-$root/build}/bench
idle_seconds=${1:-20}

echo "Building the optimised tree in $tree ..." >&2
# -O2, as in the shipped RelWithDebInfo build, rather than Release's -O3.
cmake -S "$root" -B "$tree" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DTC_BENCH=ON -DTC_BUILD_TESTS=OFF >/dev/null
cmake --build "$tree" -j2 --target tc_bench TolvenarConnector tolvenar-reference-server \
  tolvenar-sample-local-api >/dev/null
tools=$tree/tools/reference_server

rows=()
row() { rows+=("$(printf '%-44s | %-22s | %s' "$1" "$2" "$3")"); }

# --- Micro-benchmarks ------------------------------------------------------
echo "Running the micro-benchmarks ..." >&2
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
done <<<"$csv"

# --- System figures --------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvenar-bench.XXXXXX")
pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wait_until() {  # command, tenths of a second
  local tries=$2
  until eval "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
ticks=$(getconf CLK_TCK)
cpu_ms() {  # utime + stime of a process, in ms
  awk -v t="$ticks" '{sub(/.*\) /, ""); printf "%d", ($12 + $13) * 1000 / t}' "/proc/$1/stat"
}
status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }

"$tools/tolvenar-reference-server" --port 0 --port-file "$work/server.port" >"$work/server.out" 2>&1 &
pids+=($!)
"$tools/tolvenar-sample-local-api" --port 0 --port-file "$work/api.port" >"$work/api.out" 2>&1 &
pids+=($!)
wait_until '[ -s "$work/server.port" ] && [ -s "$work/api.port" ]' 100
server=http://127.0.0.1:$(cat "$work/server.port")
api=http://127.0.0.1:$(cat "$work/api.port")
admin_status() { curl -fsS "$server/admin/status" | grep -o "\"$1\":[0-9]*" | cut -d: -f2; }

connector=
run_connector() {  # profiles, poll interval in ms
  local count=$1 interval=$2 app=$work/app-$1-$RANDOM
  mkdir "$app"
  cp "$tree/TolvenarConnector" "$app/"
  : >"$app/TolvenarConnector.ini"
  local enrolled_before
  enrolled_before=$(admin_status enrollments)
  for ((i = 0; i < count; i++)); do
    local cnpj code=bench-$RANDOM-$i
    cnpj=$(printf '%014d' $((RANDOM * 100000 + i)))
    curl -fsS -X POST -H 'Content-Type: application/json' --data-binary "{\"cnpj\":\"$cnpj\",\"code\":\"$code\"}" \
      "$server/admin/codes" >/dev/null
    printf '%s\r\n' "[Connector_$i]" "Servidor=$server" "PermitirHTTPInseguro=1" "CNPJ=$cnpj" \
      "CodigoVinculacao=$code" "APILocal=$api" "IntervaloConsultaMS=$interval" \
      >>"$app/TolvenarConnector.ini"
  done
  rm -f "$work/stdin"
  mkfifo "$work/stdin"
  (cd "$app" && exec ./TolvenarConnector -console <"$work/stdin" >"$app/console.txt" 2>&1) &
  connector=$!
  pids+=($connector)
  exec 3<>"$work/stdin"
  wait_until "[ \"\$(admin_status enrollments)\" -ge $((enrolled_before + count)) ]" 600 ||
    echo "warning: not every profile enrolled" >&2
}
stop_connector() {
  printf '\n' >&3
  wait_until "! kill -0 $connector 2>/dev/null" 300 || kill "$connector"
  wait "$connector" 2>/dev/null || true
  exec 3>&-
}

for count in 1 10 50; do
  echo "Idle footprint with $count profile(s), ${idle_seconds}s ..." >&2
  run_connector "$count" 3000
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
    "utime+stime from /proc/<pid>/stat over ${idle_seconds}s (not a minute), no commands"
  stop_connector
done

echo "Relay cost with 20 profiles ..." >&2
commands=200
run_connector 20 1000
sleep 3
before=$(cpu_ms "$connector")
sleep 10
idle_rate=$(($(cpu_ms "$connector") - before))  # ms per 10 s
results_before=$(admin_status results)
before=$(cpu_ms "$connector")
SECONDS=0
for ((i = 0; i < commands; i++)); do
  curl -fsS -X POST -H 'Content-Type: application/json' \
    --data-binary "{\"id\":\"b$i\",\"method\":\"GET\",\"path\":\"/api/v1/sales/sections\"}" \
    "$server/admin/commands" >/dev/null
done
wait_until "[ \"\$(admin_status results)\" -ge $((results_before + commands)) ]" 1200 ||
  echo "warning: not every result arrived" >&2
elapsed=$SECONDS
used=$(($(cpu_ms "$connector") - before))
row "Relay, 20 profiles: CPU per command" \
  "$(awk -v u="$used" -v i="$idle_rate" -v e="$elapsed" -v n="$commands" \
    'BEGIN{c=(u - i*e/10)/n; if (c<0) c=0; printf "%.2f ms", c}')" \
  "(CPU during $commands GET commands - idle CPU for the same ${elapsed}s) / $commands"
stop_connector

echo "Relaying a 10 MB answer ..." >&2
run_connector 1 1000
sleep 2
hwm_before=$(status_kb "$connector" VmHWM)
{
  printf '{"path":"/api/v1/sales/list","status":200,"body":"'
  head -c $((10 * 1024 * 1024)) /dev/zero | tr '\0' 'a'
  printf '"}'
} >"$work/big.json"
curl -fsS -X POST -H 'Content-Type: application/json' --data-binary "@$work/big.json" \
  "$api/admin/faults" >/dev/null
results_before=$(admin_status results)
curl -fsS -X POST -H 'Content-Type: application/json' --data-binary '{"id":"big","method":"GET","path":"/api/v1/sales/list"}' \
  "$server/admin/commands" >/dev/null
wait_until "[ \"\$(admin_status results)\" -gt $results_before ]" 600 ||
  echo "warning: the 10 MB result did not arrive" >&2
hwm=$(status_kb "$connector" VmHWM)
row "10 MB answer, 1 profile: peak RSS" "$((hwm / 1024)) MB (idle $((hwm_before / 1024)) MB)" \
  "VmHWM from /proc/<pid>/status after relaying one 10 MB ASCII body"
stop_connector

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')
echo
echo "Machine: $(nproc) CPU(s), $cpu; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s | %-22s | %s\n' "Figure" "Value" "Method"
printf '%s\n' "$(printf '%.0s-' {1..110})"
printf '%s\n' "${rows[@]}"

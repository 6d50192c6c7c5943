# The side-by-side mode of scripts/bench.sh: the connector and the plain
# Python relay of bench/python_relay.py do the same jobs against the same
# servers in one run, and one table shows both columns and their ratio.
# Sourced by bench.sh after its servers are up; uses its helpers.

# Starts `program` ("connector" or "python") on a new folder of `count`
# profiles and waits for every enrollment; sets $app and $connector.
side_start() {  # program, server URL, profiles, poll interval in ms
  local program=$1
  shift
  local enrolled_before
  enrolled_before=$(admin_status enrollments)
  prepare_app "$@"
  if [ "$program" = python ]; then
    cp "$root/bench/python_relay.py" "$app/"
    relay_command=(python3 -u ./python_relay.py
      "$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$tree/CMakeCache.txt")")
  else
    relay_command=(./TolvenarConnector -console)
  fi
  start_connector
  wait_until "[ \"\$(admin_status enrollments)\" -ge $((enrolled_before + $2)) ]" 600 ||
    echo "warning: not every profile enrolled ($program)" >&2
}

# CPU of a process in microseconds: the sum over its threads of the time
# the scheduler ran them, far finer than utime+stime's clock ticks.
cpu_us() {
  cat "/proc/$1"/task/*/schedstat 2>/dev/null | awk '{ns += $1} END {printf "%d", ns / 1000}'
}

private_kb() {  # private memory of a process: its own pages, not the shared libraries'
  awk '/^Private_(Clean|Dirty):/ {kb += $2} END {print kb}' "/proc/$1/smaps_rollup"
}

declare -A figure

# Idle: one profile's memory, fifty profiles' CPU.
side_idle() {  # program
  local p=$1 before polls_before used polls
  echo "[$p] idle, 1 profile ..." >&2
  side_start "$p" "$server" 1 1000
  sleep 5
  figure[$p,rss]=$(awk -v k="$(status_kb "$connector" VmRSS)" 'BEGIN{printf "%.1f", k/1024}')
  figure[$p,private]=$(awk -v k="$(private_kb "$connector")" 'BEGIN{printf "%.1f", k/1024}')
  stop_connector
  echo "[$p] idle, 50 profiles, ${side_seconds}s ..." >&2
  side_start "$p" "$server" 50 1000
  sleep 5
  before=$(cpu_us "$connector")
  polls_before=$(admin_status requests_total)
  sleep "$side_seconds"
  used=$(($(cpu_us "$connector") - before))
  polls=$(($(admin_status requests_total) - polls_before))
  figure[$p,idle50]=$(awk -v u="$used" -v s="$side_seconds" 'BEGIN{printf "%.2f", u/s*60/1e6}')
  figure[$p,httppoll]=$(awk -v u="$used" -v n="$polls" 'BEGIN{printf "%.3f", n ? u/n/1000 : 0}')
  stop_connector
}

# Relay: CPU per command beyond idle polling, and the time from the poll
# answer carrying a command to its result; 20 profiles polling every second.
side_relay() {  # program, label, server URL
  local p=$1 label=$2 url=$3 commands=200
  echo "[$p] relay over $label, 20 profiles ..." >&2
  side_start "$p" "$url" 20 1000
  sleep 3
  local before polls_before idle polls results_before used elapsed
  before=$(cpu_us "$connector")
  polls_before=$(admin_status requests_total)
  sleep 10
  idle=$(($(cpu_us "$connector") - before))
  polls=$(($(admin_status requests_total) - polls_before))
  figure[$p,${label}poll]=$(awk -v u="$idle" -v n="$polls" 'BEGIN{printf "%.3f", n ? u/n/1000 : 0}')
  results_before=$(admin_status results_total)
  for ((i = 0; i < commands; i++)); do
    admin_post /admin/commands \
      "{\"id\":\"$p-$label-$i\",\"method\":\"GET\",\"path\":\"/api/v1/sales/sections\"}" >/dev/null
  done
  before=$(cpu_us "$connector")
  local started
  started=$(now_us)
  wait_until "[ \"\$(admin_status results_total)\" -ge $((results_before + commands)) ]" 1200 ||
    echo "warning: not every result arrived ($p)" >&2
  elapsed=$(($(now_us) - started))
  used=$(($(cpu_us "$connector") - before))
  figure[$p,${label}relay]=$(awk -v u="$used" -v i="$idle" -v e="$elapsed" -v n="$commands" \
    'BEGIN{c=(u - i*e/10e6)/n/1000; if (c<0) c=0; printf "%.3f", c}')
  figure[$p,${label}wall]=$(admin /admin/results | python3 -c '
import json, statistics, sys
times = [r["relay_us"] / 1000 for r in json.load(sys.stdin) if r["command_id"].startswith(sys.argv[1] + "-")]
print("%.2f" % statistics.median(times) if times else "-")' "$p-$label")
  stop_connector
}

# Peak memory relaying one 10 MiB local answer.
side_large() {  # program
  local p=$1 results_before
  echo "[$p] relaying a 10 MiB answer ..." >&2
  python3 -c '
import json
print(json.dumps({"path": "/api/v1/sales/list", "status": 200, "body": "a" * (10 * 1024 * 1024)}))
' >"$work/big.json"
  curl -fsS -X POST -H 'Content-Type: application/json' --data-binary "@$work/big.json" \
    "$api/admin/faults" >/dev/null
  side_start "$p" "$server" 1 1000
  sleep 2
  results_before=$(admin_status results_total)
  admin_post /admin/commands "{\"id\":\"$p-big\",\"method\":\"GET\",\"path\":\"/api/v1/sales/list\"}" >/dev/null
  wait_until "[ \"\$(admin_status results_total)\" -gt $results_before ]" 600 ||
    echo "warning: the 10 MiB result did not arrive ($p)" >&2
  figure[$p,large]=$(awk -v k="$(status_kb "$connector" VmHWM)" 'BEGIN{printf "%.1f", k/1024}')
  stop_connector
}

side_by_side() {
  local https=no
  if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then https=yes; fi
  for p in connector python; do
    side_idle "$p"
    side_relay "$p" http "$server"
    side_large "$p"
  done
  if [ "$https" = yes ]; then
    make_tls_server
    for p in connector python; do
      launcher=(unshare -m sh -c
        "mount --bind '$work/bundle.pem' /etc/ssl/certs/ca-certificates.crt && exec \"\$0\" \"\$@\"")
      use_admin "$tls_base"
      side_relay "$p" https "$tls_base"
      launcher=()
      use_admin "$server"
    done
  fi

  local cpu
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')
  echo
  echo "Machine: $(nproc) CPU(s), $cpu, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "Same run, same loopback servers; poll interval 1000 ms; CPU is the scheduler's run time of all the process's threads."
  printf '%-52s | %10s | %12s | %s\n' "Figure" "connector" "Python relay" "connector / Python"
  printf '%s\n' "$(printf '%.0s-' {1..100})"
  side_row() {  # label, key
    local c=${figure[connector,$2]:--} py=${figure[python,$2]:--}
    printf '%-52s | %10s | %12s | %s\n' "$1" "$c" "$py" \
      "$(awk -v a="$c" -v b="$py" 'BEGIN{if (b+0 > 0 && a != "-") printf "%.2f", a/b; else print "-"}')"
  }
  side_row "Idle, 1 profile: resident memory (MiB)" rss
  side_row "Idle, 1 profile: private memory (MiB)" private
  side_row "Idle, 50 profiles: CPU (s per minute)" idle50
  side_row "HTTP poll, no command: CPU (ms per poll)" httppoll
  side_row "HTTP relay, 20 profiles: CPU (ms per command)" httprelay
  side_row "HTTP relay: poll answer to result, median (ms)" httpwall
  side_row "HTTPS poll, no command: CPU (ms per poll)" httpspoll
  side_row "HTTPS relay, 20 profiles: CPU (ms per command)" httpsrelay
  side_row "HTTPS relay: poll answer to result, median (ms)" httpswall
  side_row "Relaying a 10 MiB answer: peak memory (MiB)" large
  [ "$https" = yes ] || echo "(HTTPS rows need root and unshare -m)"
}

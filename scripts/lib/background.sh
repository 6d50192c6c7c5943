# Shared by the scripts that run the connector and the reference servers in
# the background. Source it; it defines:
#   pids            processes to end on exit (append with pids+=($!))
#   stop_background closes descriptor 3, ends those processes, waits for them
#   wait_until CMD N waits up to N tenths of a second for CMD to succeed
pids=()

stop_background() {
  exec 3>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}

wait_until() {
  local tries=$2
  until eval "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

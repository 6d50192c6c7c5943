#!/usr/bin/env bash
# The Debian package under a real systemd: Debian 12 booted with systemd as
# PID 1 in systemd-nspawn, over a root made by debootstrap from the package
# registry this machine's apt uses (kept in the build tree, reused; each run
# boots a throw-away copy of it). There: install, a start without profiles
# (fails once, not restarted), enrollment and relay as the account against
# the reference servers (HTTPS, on this machine's loopback, which the
# container shares), the activity in the journal, a restart after SIGSEGV, a
# relay through a real proxy (squid) set by a drop-in, a quick stop, an
# upgrade keeping the profiles file and the log byte for byte, the ways the
# account could lead root to write through its folder, and a purge that
# leaves nothing.
# Usage: systemd_life.sh BUILD_DIR DEB REFERENCE_SERVER SAMPLE_LOCAL_API
# Exit code 77: skipped (not CI, not root, or no container can boot here).
set -euo pipefail

build=$(cd "$1" && pwd)
deb=$2
server_exe=$3
api_exe=$4

skip() { echo "SKIPPED: $*"; exit 77; }
[ "${CI:-}" = true ] || skip "boots a container as root and installs packages in it: only with CI=true"
[ "$(id -u)" = 0 ] || skip "systemd-nspawn needs root"
for tool in systemd-nspawn debootstrap nsenter openssl curl python3; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/packages.txt)" >&2; exit 1; }
done
[ -f "$deb" ] || { echo "missing $deb: build the target deb" >&2; exit 1; }

account=tolvenar-connector
folder=/opt/tolvenar-connector
ini=$folder/TolvenarConnector.ini
log=$folder/TolvenarConnector.log
unit=TolvenarConnector
cnpj=12345678000195

# The Debian mirror and suite this machine's apt uses.
mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb  *\(\[[^]]*\] *\)\?\([^ ]*\/debian\)\/* bookworm .*/\2/p' \
  /etc/apt/sources.list 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

# The container's root: what the package depends on, systemd, the trust
# store and squid; made again when that list changes.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' | grep . | sort -u | paste -sd,)
include="systemd,systemd-sysv,dbus,ca-certificates,squid,$depends"
base="$build/tests/nspawn/debian12"
if [ "$(cat "$base/.tc-include" 2> /dev/null)" != "$include $mirror" ]; then
  echo "== debootstrap bookworm from $mirror into $base"
  rm -rf "$base" "$base.tmp"
  mkdir -p "$(dirname "$base")"
  debootstrap --variant=minbase --include="$include" bookworm "$base.tmp" "$mirror" \
    > "$build/tests/nspawn/debootstrap.log" 2>&1 ||
    { tail -n 30 "$build/tests/nspawn/debootstrap.log" >&2; exit 1; }
  # The test runs its own squid, on a port of its own.
  systemctl --root="$base.tmp" disable squid.service > /dev/null 2>&1 || true
  systemctl --root="$base.tmp" mask squid.service > /dev/null 2>&1
  echo "$include $mirror" > "$base.tmp/.tc-include"
  mv "$base.tmp" "$base"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tc-systemd-life.XXXXXX")
chmod 0755 "$work"
nspawn_pid=""
leader=""
server_pid=""
api_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2> /dev/null || true
  [ -z "$api_pid" ] || kill "$api_pid" 2> /dev/null || true
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2> /dev/null; then
    # SIGRTMIN+4 asks systemd to power off; nspawn then removes the copy.
    kill -s RTMIN+4 "$leader" 2> /dev/null || true
    for _ in $(seq 600); do kill -0 "$nspawn_pid" 2> /dev/null || break; sleep 0.2; done
    kill -s KILL "$nspawn_pid" 2> /dev/null || true
    wait "$nspawn_pid" 2> /dev/null || true
  fi
  # A copy nspawn could not remove (killed, or an earlier run's): the tests
  # run alone, so none is in use.
  rm -rf "$(dirname "$base")"/.#machine.debian12* "$(dirname "$base")"/.#.#machine.debian12*
  rm -rf "$work"
}
trap cleanup EXIT

# A command that fails unexpectedly ends the run, saying where.
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
failed=0
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }
step() { echo "== $1"; }
# has TEXT PATTERN / lacks TEXT PATTERN: fixed strings.
has() { grep -a -q -F -- "$2" <<< "$1" || fail "lacks: $2 in:"$'\n'"$1"; }
lacks() { ! grep -a -q -F -- "$2" <<< "$1" || fail "holds: $2 in:"$'\n'"$1"; }
equal() { [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"; }

# Boot a throw-away copy of the root, sharing this machine's network. No
# machine registration and no scope of its own: neither needs a systemd on
# this machine.
step "boot Debian 12 under systemd-nspawn"
machine="tc-life-$$"
cp "$deb" "$work/package.deb"
systemd-nspawn --quiet --register=no --keep-unit --ephemeral --boot --directory="$base" \
  --machine="$machine" --bind-ro="$work:/tc" --console=passive \
  > "$work/nspawn.log" 2>&1 &
nspawn_pid=$!
leader=""
# The copy of the root comes first (a minute on a slow disk).
for _ in $(seq 3000); do
  kill -0 "$nspawn_pid" 2> /dev/null || break
  for child in $(cat /proc/"$nspawn_pid"/task/*/children 2> /dev/null); do
    [ "$(cat /proc/"$child"/comm 2> /dev/null)" = systemd ] && leader=$child
  done
  [ -z "$leader" ] || break
  sleep 0.1
done
# Runs a command in the container, with a clean environment.
in_ct() {
  nsenter --target "$leader" --all env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
state=""
# Until the boot ends; systemctl fails until systemd listens.
for _ in $(seq 120); do
  [ -n "$leader" ] && kill -0 "$nspawn_pid" 2> /dev/null || break
  state=$(timeout 120 nsenter --target "$leader" --all \
    env -i PATH=/usr/bin:/bin systemctl is-system-running --wait 2> "$work/boot-wait.log" || true)
  [ -z "$state" ] || break
  sleep 1
done
if [ "$state" != running ] && [ "$state" != degraded ]; then
  # Nothing of the package has run yet: the machine cannot host the test.
  reason=$(grep -v '^$' "$work/nspawn.log" | tail -n 5 || true)
  reason="$reason $(cat "$work/boot-wait.log" 2> /dev/null)"
  skip "no container boots here (systemd-nspawn: ${reason:-state ${state:-none}})"
fi
[ "$state" = running ] || in_ct systemctl --failed --no-legend >&2 || true

# HTTPS reference server (a test root trusted in the container), the
# sample local API, both on loopback.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=tc test root" \
  -keyout "$work/ca.key" -out "$work/ca.crt" > /dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$work/server.key" \
  -out "$work/server.csr" > /dev/null 2>&1
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' > "$work/ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/ext" -out "$work/server.crt" > /dev/null 2>&1
in_ct cp /tc/ca.crt /usr/local/share/ca-certificates/tc-test-root.crt
in_ct update-ca-certificates > /dev/null 2>&1
"$server_exe" --port 0 --port-file "$work/port" --cert "$work/server.crt" --key "$work/server.key" \
  --code "$cnpj:AB-12CD" > "$work/server.log" 2>&1 &
server_pid=$!
"$api_exe" --port 0 --port-file "$work/api_port" > "$work/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && [ -s "$work/api_port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
server="https://127.0.0.1:$port"
api="http://127.0.0.1:$(cat "$work/api_port")"
admin() { curl -s --max-time 10 --cacert "$work/ca.crt" "$server/admin/$1" "${@:2}"; }
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print($1)"; }
queue() { admin commands -X POST -H 'Content-Type: application/json' -d "$1" > /dev/null; }
results() { admin results | json 'len(d)'; }
# wait_for SECONDS COMMAND...: until COMMAND (a function may be) succeeds.
wait_for() {
  local limit=$(($1 * 5))
  shift
  for _ in $(seq "$limit"); do "$@" 2> /dev/null && return 0; sleep 0.2; done
  return 1
}
enrolled() { [ "$(admin enrollments | json 'len(d)')" = 1 ]; }
results_above() { [ "$(results)" -gt "$1" ]; }
restarted_once() { [ "$(prop NRestarts)" = 1 ] && [ "$(prop ActiveState)" = active ]; }
listening() { python3 -c "import socket; socket.create_connection(('127.0.0.1', $1))"; }
prop() { in_ct systemctl show -P "$1" "$unit"; }
journal() { in_ct journalctl -u "$unit" --no-pager -o cat; }
installed() { in_ct dpkg-query -W -f '${db:Status-Abbrev}' tolvenar-connector 2> /dev/null || true; }

step "install"
out=$(in_ct dpkg -i /tc/package.deb 2>&1) || fail "dpkg -i: $out"
equal "$(installed)" "ii " "package state after install"
equal "$(in_ct stat -c '%U:%G %a' "$folder" "$ini" "$log" /var/lib/tolvenar-connector | paste -sd' ')" \
  "root:$account 1770 $account:$account 600 $account:$account 600 $account:$account 700" "layout"
equal "$(prop UnitFileState)" enabled "unit file state"
equal "$(prop ActiveState)" inactive "state after install"
in_ct test ! -e /etc/tolvenar-connector || fail "/etc/tolvenar-connector made"
uid=$(in_ct id -u "$account")
gid=$(in_ct id -g "$account")

step "a start without profiles fails once, not restarted"
in_ct systemctl start "$unit" > /dev/null 2>&1 && fail "start without profiles succeeded"
sleep 2
equal "$(prop ActiveState)" failed "state"
equal "$(prop NRestarts)" 0 "restarts"
has "$(journal)" "Nenhuma conexao configurada"

step "enrollment and relay as the account"
ini_text="[Connector]
Servidor=$server
IntervaloConsultaMS=1000
APILocal=$api
CNPJ=$cnpj
CodigoVinculacao=ab-12cd
"
# As docs/linux-package.md says: the administrator writes the file as the account.
in_ct runuser -u "$account" -- sh -c "cat > $ini" <<< "$ini_text"
in_ct systemctl reset-failed "$unit"
in_ct systemctl start "$unit" || fail "start: $(journal | tail -n 5)"
equal "$(prop ActiveState)" active "state"
main_pid=$(prop MainPID)
equal "$(in_ct awk '/^Uid:/ {print $2}' /proc/"$main_pid"/status)" "$uid" "the service's user"
wait_for 60 enrolled || fail "no enrollment: $(admin report)"
queue '{"id":"ct-1","method":"GET","path":"/api/v1/dashboard/summary"}'
wait_for 60 results_above 0 || fail "no result: $(admin report)"
equal "$(admin results | json 'd[0]["command_id"] + " " + str(d[0]["http_status"])')" "ct-1 200" "first result"
ini_now=$(in_ct cat "$ini")
has "$ini_now" "ConnectorSecretEnc="
tr -d '\r' <<< "$ini_now" | grep -q -x 'CodigoVinculacao=' || fail "code kept: $ini_now"
has "$(in_ct cat "$log")" "Vinculacao concluida com sucesso."
# The activity also goes to the journal.
has "$(journal)" "Vinculacao concluida com sucesso."

step "restarted after SIGSEGV"
in_ct mkdir -p /etc/systemd/system/$unit.service.d
in_ct sh -c "printf '[Service]\nRestartSec=1\n' > /etc/systemd/system/$unit.service.d/restart.conf"
in_ct systemctl daemon-reload
in_ct systemctl kill --kill-whom=main -s SEGV "$unit"
wait_for 30 restarted_once ||
  fail "not restarted: NRestarts $(prop NRestarts), $(prop ActiveState)"
[ "$(prop MainPID)" != "$main_pid" ] || fail "same process after SIGSEGV"
has "$(in_ct journalctl -u "$unit" --no-pager)" "status=11/SEGV"

step "relay through squid, set by a drop-in"
proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/squid.conf" << EOF
http_port 127.0.0.1:$proxy_port
acl tc_server port $port
acl CONNECT method CONNECT
http_access allow localhost CONNECT tc_server
http_access deny all
access_log stdio:/var/log/squid/tc-access.log
cache_log stdio:/var/log/squid/tc-cache.log
pid_filename none
cache deny all
EOF
in_ct systemd-run --quiet --unit=tc-proxy /usr/sbin/squid -N -f /tc/squid.conf
wait_for 30 listening "$proxy_port" ||
  fail "squid does not listen: $(in_ct journalctl -u tc-proxy --no-pager | tail -n 5)"
# What docs/linux-package.md shows for "systemctl edit TolvenarConnector".
in_ct sh -c "printf '[Service]\nEnvironment=https_proxy=http://127.0.0.1:$proxy_port\n' \
  > /etc/systemd/system/$unit.service.d/override.conf"
in_ct systemctl daemon-reload
in_ct systemctl restart "$unit"
before=$(results)
queue '{"id":"ct-proxy","method":"GET","path":"/api/v1/dashboard/summary"}'
wait_for 60 results_above "$before" ||
  fail "no result through the proxy: $(admin report)"
equal "$(admin results | json 'd[-1]["command_id"]')" ct-proxy "last result"
has "$(in_ct cat /var/log/squid/tc-access.log)" "CONNECT 127.0.0.1:$port"

step "stop within a few seconds"
start=$(date +%s)
in_ct systemctl stop "$unit"
took=$(($(date +%s) - start))
[ "$took" -le 5 ] || fail "stop took $took s"
equal "$(prop ActiveState)" inactive "state after stop"
in_ct rm /etc/systemd/system/$unit.service.d/override.conf
in_ct systemctl daemon-reload

step "upgrade keeps the profiles file and the log"
ini_sum=$(in_ct sha256sum "$ini")
log_sum=$(in_ct sha256sum "$log")
# The link an earlier version made in /etc goes; nothing else there does.
in_ct mkdir -p /etc/tolvenar-connector
in_ct ln -s "$ini" /etc/tolvenar-connector/TolvenarConnector.ini
out=$(in_ct dpkg -i /tc/package.deb 2>&1) || fail "upgrade: $out"
equal "$(installed)" "ii " "package state after upgrade"
equal "$(in_ct sha256sum "$ini")" "$ini_sum" "profiles file after upgrade"
equal "$(in_ct sha256sum "$log")" "$log_sum" "log after upgrade"
in_ct test ! -e /etc/tolvenar-connector || fail "old /etc link kept"

step "the account's traps: nothing written through, no script fails or blocks"
# Root's files standing for a disk and for root's shell start-up file.
in_ct sh -c 'head -c 4096 /dev/urandom > /root/disk; printf "# root\n" > /root/bashrc; chmod 0600 /root/disk /root/bashrc'
disk_sum=$(in_ct sha256sum /root/disk)
bashrc_sum=$(in_ct sha256sum /root/bashrc)
as_account() { in_ct runuser -u "$account" -- sh -c "$1"; }
as_account "mv $ini $folder/aside.ini && mv $log $folder/aside.log &&
  ln -s /root/disk $ini && mkfifo $log && mkdir $folder/TolvenarConnector.3.log" ||
  fail "the account could not lay its traps"
out=$(in_ct timeout 120 dpkg -i /tc/package.deb 2>&1) || fail "upgrade over the traps: $out"
equal "$(installed)" "ii " "package state after an upgrade over the traps"
has "$out" "$ini nao e um arquivo comum"
has "$out" "$log nao e um arquivo comum"
equal "$(in_ct stat -c '%F %U' "$ini" "$log" | paste -sd,)" "symbolic link $account,fifo $account" "traps left as they are"
# A root-owned file copied in is adopted; the administrator's way in is as
# the account, which cannot write through a link to root's file.
in_ct runuser -u "$account" -- cp /tc/squid.conf "$ini" 2> /dev/null && fail "the account wrote root's disk"
# Root running the program, with a usable profile and the log linked to
# root's shell start-up file, refuses before opening anything there.
as_account "rm $ini $log && cp $folder/aside.ini $ini && ln -s /root/bashrc $log"
code=0
console=$(in_ct sh -c "cd $folder && timeout 60 ./TolvenarConnector -console < /dev/null" 2>&1) || code=$?
equal "$code" 1 "exit code of root's -console (console: $console)"
equal "$(in_ct sha256sum /root/disk)" "$disk_sum" "root's disk"
equal "$(in_ct sha256sum /root/bashrc)" "$bashrc_sum" "root's bashrc"
as_account "rm $ini $log && mv $folder/aside.ini $ini && mv $folder/aside.log $log"

step "remove, then purge over what the account left"
out=$(in_ct dpkg -r tolvenar-connector 2>&1) || fail "remove: $out"
in_ct test -f "$ini" || fail "remove took the profiles file"
as_account "mkfifo $folder/fifo; ln -s /root/disk $folder/link; mkdir -p $folder/deep/er;
  touch $folder/deep/er/file; chmod 0 $folder/deep/er $folder/deep" ||
  fail "the account could not leave its files"
out=$(in_ct timeout 120 dpkg --purge tolvenar-connector 2>&1) || fail "purge: $out"
equal "$(installed)" "" "package state after purge"
for path in "$folder" /var/lib/tolvenar-connector /etc/tolvenar-connector \
  /lib/systemd/system/$unit.service /etc/systemd/system/multi-user.target.wants/$unit.service; do
  in_ct test ! -e "$path" -a ! -L "$path" || fail "$path left by purge"
done
in_ct getent passwd "$account" > /dev/null && fail "account left by purge"
in_ct getent group "$account" > /dev/null && fail "group left by purge"
in_ct dpkg-statoverride --list "$folder" > /dev/null && fail "statoverride left by purge"
# No file keeps the account's ids, which the next system account would get.
orphans=$(in_ct find / -xdev \( -uid "$uid" -o -gid "$gid" \) -print 2> /dev/null | head -n 5)
equal "$orphans" "" "files left with the account's ids"
equal "$(in_ct sha256sum /root/disk)" "$disk_sum" "root's disk after purge"

if [ "$failed" -ne 0 ]; then
  echo "--- journal" >&2
  journal | tail -n 40 >&2 || true
  echo "$failed check(s) failed" >&2
  exit 1
fi
echo "all checks passed"

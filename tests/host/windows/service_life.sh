#!/usr/bin/env bash
# The Windows service under Wine's service control manager: install (with
# its recovery actions) and uninstall, a start with a usable profile, pause,
# interrogate, continue, stop, a slow stop, a start without a usable profile,
# and a start outside the service manager. Runs service_life.bat in one Wine session and checks its
# transcript, the status reports the service made (traced by Wine's
# SetServiceStatus) and the events it wrote (Wine's eventlog channel).
# Usage: service_life.sh WINDOWS_BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exe="$build/TolvenarConnector.exe"
tool="$build/tests/host/tc_service_tool.exe"
for f in "$exe" "$tool"; do
  [ -f "$f" ] || { echo "missing $f" >&2; exit 1; }
done

WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
# A prefix of its own: the services it registers stay out of other tests'.
export WINEPREFIX="$build/tests/wine-service-prefix"
mkdir -p "$WINEPREFIX"

work=$(mktemp -d "${TMPDIR:-/tmp}/tc-service-life.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A folder with a space: the registered path must be quoted.
program="$work/Tolvenar svc"
mkdir -p "$program"
cp "$exe" "$program/TolvenarConnector.exe"
# Nothing listens on port 9: the worker fails its enrollment exchange, logs
# it and pauses one second, again and again.
printf '[Connector]\r\nServidor=http://127.0.0.1:9\r\nPermitirHTTPInseguro=1\r\nIntervaloConsultaMS=1000\r\nCodigoVinculacao=abc\r\nCNPJ=12345678000190\r\n' \
  > "$work/usable.ini"
sed 's/IntervaloConsultaMS=1000/IntervaloConsultaMS=3000/' "$work/usable.ini" > "$work/slow.ini"

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

set +e
WINEDEBUG=err+eventlog,fixme+advapi,trace+service timeout 600 "$WINE" cmd /c \
  "$(windows_path "$here/service_life.bat")" \
  "$(windows_path "$program/TolvenarConnector.exe")" \
  "$(windows_path "$tool")" \
  "$(windows_path "$work/usable.ini")" \
  "$(windows_path "$work/slow.ini")" \
  > "$work/out.txt" 2> "$work/err.txt"
status=$?
set -e
"$(dirname "$WINE")/wineserver" -w 2>/dev/null || true

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
[ "$status" -eq 0 ] || fail "cmd ended with $status"

# The program writes redirected output in the ANSI code page; the tool in
# UTF-8. Compare both as UTF-8.
tr -d '\r' < "$work/out.txt" | sed 's/\xf3/\xc3\xb3/g' > "$work/out.norm"
path_line="BINARY_PATH_NAME: \"$(windows_path "$program/TolvenarConnector.exe")\""
# Wine's message texts for 1073 and 1060 (Windows words them otherwise).
# Wine 8 keeps no recovery settings: it accepts the failure actions without
# storing them and answers neither query (error 124, invalid level), so the
# install's call is checked in Wine's trace below. Windows would list a reset
# period of 86400, three restarts after 60000 ms and the non-crash flag 0.
cat > "$work/expected" <<EXPECTED
[install]
Service installed successfully
[exit 0]
SERVICE_NAME: TolvenarConnector
TYPE: 16
START_TYPE: 2
ERROR_CONTROL: 1
$path_line
LOAD_ORDER_GROUP: 
DISPLAY_NAME: Tólvenar Connector
SERVICE_START_NAME: LocalSystem
FAILURE_ACTIONS: not queryable (124)
NON_CRASH_FAILURES: not queryable (124)
[install again]
Service "Tólvenar Connector" failed to install with error: "System Error.  Code: 1073.
Service exists"
[exit 1]
[silent uninstall and install]
[exit 0]
[start]
START REQUESTED
STATE: 4 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
GREW
[pause]
CONTROL SENT
STATE: 7 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
GREW
[interrogate]
CONTROL SENT
STATE: 7 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
[continue]
CONTROL SENT
STATE: 4 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
[stop]
CONTROL SENT
STATE: 1 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
GONE
[slow stop]
START REQUESTED
STATE: 4 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
GREW
CHECK POINTS ROSE
STATE: 1 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 0 SPECIFIC: 0
GONE
[failed start]
START REQUESTED
STATE: 1 CONTROLS: 7 CHECKPOINT: 0 WAITHINT: 5000 EXIT: 1066 SPECIFIC: 1
GONE
[uninstall]
Service uninstalled successfully
[exit 0]
[uninstall again]
Service "Tólvenar Connector" failed to uninstall with error: "System Error.  Code: 1060.
Service does not exist"
[exit 1]
[outside the service manager]
[exit 1]
[end]
EXPECTED
diff -u "$work/expected" "$work/out.norm" >&2 || fail "transcript differs"

# Our service's reports: own process (0x10), wait hint 5000 (0x1388).
# Fields: state, controls accepted, exit code, specific code, check point.
grep -a 'trace:service:SetServiceStatus .* 0x10 .* 0x1388$' "$work/err.txt" |
  awk '{print $4, $5, $6, $7, $8}' > "$work/all_reports" || true
# A stop that lasts reports stop pending again each second with the next
# check point; how many times depends on the timing, so those reports are
# checked apart: check points 1, 2, ... after each stop-pending report.
awk '!($1 == "0x3" && $5 != "0")' "$work/all_reports" > "$work/reports"
awk '$1 == "0x3" { if ($5 == "0") n = 0; else if ($5 != sprintf("0x%x", ++n)) bad = 1; if (n > most) most = n }
     END { exit !(most >= 1 && !bad) }' "$work/all_reports" ||
  fail "no rising check points while stop pending"
cat > "$work/expected_reports" <<'REPORTS'
0x2 0 0 0 0x1
0x2 0 0 0 0x1
0x4 0x7 0 0 0
0x6 0x7 0 0 0
0x7 0x7 0 0 0
0x7 0x7 0 0 0
0x5 0x7 0 0 0
0x4 0x7 0 0 0
0x3 0x7 0 0 0
0x1 0x7 0 0 0
0x2 0 0 0 0x1
0x2 0 0 0 0x1
0x4 0x7 0 0 0
0x3 0x7 0 0 0
0x1 0x7 0 0 0
0x2 0 0 0 0x1
0x2 0 0 0 0x1
0x1 0x7 0x42a 0x1 0
REPORTS
diff -u "$work/expected_reports" "$work/reports" >&2 || fail "status reports differ"

# Events: source, then the event (error, category 0, ID 0, one string, no
# data), then its text. Wine words the dispatcher's error 1063 its own way.
grep -a -E 'RegisterEventSourceW|advapi:ReportEventW|eventlog:ReportEventW' "$work/err.txt" |
  sed -E 's/^[0-9a-f]+://; s/\(0000000[0-9A-F]+,/(H,/; s/,[0-9A-F]{16},0000000000000000\)/,S,NULL)/' \
  > "$work/events"
cat > "$work/expected_events" <<'EVENTS'
fixme:advapi:RegisterEventSourceW ((null),L"TolvenarConnector"): stub
fixme:advapi:ReportEventW (H,0x0001,0x0000,0x00000000,0000000000000000,0x0001,0x00000000,S,NULL): stub
err:eventlog:ReportEventW L"Falha ao iniciar o Connector: Nenhuma conexao configurada em TolvenarConnector.ini."
fixme:advapi:RegisterEventSourceW ((null),L"TolvenarConnector.exe"): stub
fixme:advapi:ReportEventW (H,0x0001,0x0000,0x00000000,0000000000000000,0x0001,0x00000000,S,NULL): stub
err:eventlog:ReportEventW L"Service controller connect failed"
EVENTS
diff -u "$work/expected_events" "$work/events" >&2 || fail "events differ"

# The failure actions reached the service manager with their reset period;
# Wine logs no more of them (not the actions, since it does not store them).
# The non-crash flag is never set: no call for it.
[ "$(grep -a -c 'svcctl_ChangeServiceConfig2W SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400 msg (null) cmd (null)' "$work/err.txt")" -eq 2 ] ||
  fail "failure actions not set once per install"
grep -a -q 'svcctl_ChangeServiceConfig2W.*level 4\|FAILURE_ACTIONS_FLAG' "$work/err.txt" &&
  fail "the non-crash flag was set"

# The worker ran while the service was paused.
grep -q '\[12345678000190\] Falha de comunicacao: ' "$program/TolvenarConnector.log" ||
  fail "no worker activity in the log"

if [ "$failed" -ne 0 ]; then
  echo "--- transcript" >&2; cat "$work/out.txt" >&2
  exit 1
fi
echo "service life under Wine: OK"

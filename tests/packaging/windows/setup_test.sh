#!/usr/bin/env bash
# The Windows setup under Wine, in a Wine prefix of its own made for this run
# and removed after it: parameters it refuses (nothing installed), a silent
# install (service, files, uninstall entry, INI as written, closing check),
# a start failure that fails the setup, uninstall with /PURGE, an install
# that enrolls against the reference connection server, an upgrade over it
# (INI and logs kept, executable replaced, service running again) and an
# uninstall that keeps the INI and the logs.
# Each step is one batch run by one "wine cmd /c": a Wine service lives only
# while some Wine process runs.
# Usage: setup_test.sh WINDOWS_BUILD_DIR REFERENCE_SERVER_EXE SAMPLE_LOCAL_API_EXE
# Exit code 77: skipped (no setup can be built here).
set -euo pipefail

build=$(cd "$1" && pwd)
server_exe=$2
api_exe=$3
setup="$build/TolvenarConnector-0.1.0-setup.exe"
exe="$build/TolvenarConnector.exe"
readme="$(cd "$(dirname "$0")/../../.." && pwd)/README.md"

WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
WINESERVER="$(dirname "$WINE")/wineserver"
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

# Builds the setup when it is out of date; finds it otherwise.
if ! cmake --build "$build" --target setup > /dev/null 2>&1 && [ ! -f "$setup" ]; then
  echo "SKIPPED: the Windows tree has no setup target (makensis missing when it was configured)"
  exit 77
fi
[ -f "$setup" ] || { echo "missing $setup" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tc-setup-test.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
server_pid=""
api_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$api_pid" ] && kill "$api_pid" 2>/dev/null || true
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
W=$(windows_path "$work")
SETUP=$(windows_path "$setup")
program="$WINEPREFIX/drive_c/Program Files/Tolvenar/Connector"
ini="$program/TolvenarConnector.ini"
KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvenarConnector'
SERVICE_KEY='HKLM\System\CurrentControlSet\Services\TolvenarConnector'

failed=0
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }
# What a step shows when it failed: its transcripts.
step() { echo "== $1"; failed_before=$failed; }
explain() { [ "$failed" -eq "$failed_before" ] || for f in "$@"; do show "$f"; done; }
# has FILE TEXT: FILE holds TEXT (fixed string).
has() { grep -a -q -F -- "$2" "$1" || fail "$(basename "$1") lacks: $2"; }
lacks() { ! grep -a -q -F -- "$2" "$1" || fail "$(basename "$1") holds: $2"; }
show() { echo "--- $1" >&2; tr -d '\r' < "$1" >&2 || true; }

# run_batch NAME: runs $work/NAME.bat in one Wine session, its output in
# $work/NAME.txt, and waits for the session's end. (The exit code of cmd is
# that of the batch's last command, so the batch's end is marked instead.)
run_batch() {
  echo "echo [end of batch]" >> "$work/$1.bat"
  timeout 600 "$WINE" cmd /c "$W\\$1.bat" > "$work/$1.out" 2> "$work/$1.err" || true
  "$WINESERVER" -w 2>/dev/null || true
  tr -d '\r' < "$work/$1.out" > "$work/$1.txt"
  has "$work/$1.txt" "[end of batch]"
}

# The uninstaller returns at once and goes on from a copy of itself in the
# temporary folder; removing the uninstall entry is its last step.
wait_for_uninstall() {
  cat <<EOF
for /l %%i in (1,1,120) do (
  reg query $KEY /reg:64 >nul 2>&1
  if errorlevel 1 goto gone$1
  ping -n 2 127.0.0.1 >nul
)
echo [uninstall entry still there]
:gone$1
reg query $SERVICE_KEY >nul 2>&1
if not errorlevel 1 echo [service still registered]
EOF
}
quiet_uninstall() {  # the command a deployment tool reads from the entry
  echo "for /f \"tokens=2*\" %%a in ('reg query $KEY /v QuietUninstallString /reg:64') do set QUS=%%b"
  echo "%QUS% $1"
  echo "echo [uninstall exit %ERRORLEVEL%]"
}

"$WINE" wineboot -i > /dev/null 2>&1

step "refusals: nothing installed"
cnpj=12.345.678/0001-95
cases=(
  "/SERVER=http://127.0.0.1:9 /CNPJ=$cnpj /CODE=ab-12cd|so e aceito em homologacao (/HOMOLOGACAO)"
  "/SERVER=ftp://conexao.example /CNPJ=$cnpj /CODE=ab-12cd|Endereco do servidor de conexao invalido"
  "/SERVER=https://conexao.example /CNPJ=123 /CODE=ab-12cd|CNPJ invalido"
  "/SERVER=https://conexao.example /CNPJ=12.345.678/0001-9X /CODE=ab-12cd|CNPJ invalido"
  "/SERVER=https://conexao.example /CNPJ=$cnpj|Informe o codigo de vinculacao"
  "/CNPJ=$cnpj /CODE=ab-12cd|Informe o endereco do servidor"
  "/SERVER=https://conexao.example /CNPJ=$cnpj /CODE=ab /APILOCAL=127.0.0.1:3001|API local invalido"
  "/SERVIDOR=https://conexao.example /CNPJ=$cnpj /CODE=ab-12cd|Parametro desconhecido: /SERVIDOR="
)
{
  echo "@echo off"
  for i in "${!cases[@]}"; do
    echo "\"$SETUP\" /S ${cases[$i]%%|*} > \"$W\\refusal$i.txt\""
    echo "echo [case $i exit %ERRORLEVEL%]"
  done
  echo "if exist \"C:\\Program Files\\Tolvenar\" echo [folder created]"
  echo "reg query $KEY /reg:64 >nul 2>&1"
  echo "if not errorlevel 1 echo [uninstall entry created]"
  echo "reg query $SERVICE_KEY >nul 2>&1"
  echo "if not errorlevel 1 echo [service registered]"
} > "$work/refusals.bat"
run_batch refusals
for i in "${!cases[@]}"; do
  has "$work/refusals.txt" "[case $i exit 2]"
  has "$work/refusal$i.txt" "${cases[$i]#*|}"
done
lacks "$work/refusals.txt" "created]"
lacks "$work/refusals.txt" "[service registered]"
explain "$work/refusals.txt"

step "silent install, a server URL with // and a closing check that fails"
server_url='https://127.0.0.1:9//tc/'
cat > "$work/install.bat" <<EOF
@echo off
"$SETUP" /S "/SERVER=$server_url" /CNPJ=$cnpj /CODE=ab-12cd > "$W\\install-stdout.txt"
echo [install exit %ERRORLEVEL%]
reg query $SERVICE_KEY
reg query $KEY /reg:64
EOF
run_batch install
out="$work/install.txt"
# The service's configuration as the service manager keeps it (Wine's
# "sc qc" prints nothing; its registry key holds the same).
has "$out" "[install exit 0]"
has "$out" 'ImagePath    REG_SZ    "C:\Program Files\Tolvenar\Connector\TolvenarConnector.exe"'
has "$out" "Start    REG_DWORD    0x2"
has "$out" "ObjectName    REG_SZ    LocalSystem"
has "$out" "DisplayVersion    REG_SZ    0.1.0"
has "$out" "Publisher    REG_SZ    Tolvenar"
has "$out" 'InstallLocation    REG_SZ    C:\Program Files\Tolvenar\Connector'
has "$out" 'UninstallString    REG_SZ    "C:\Program Files\Tolvenar\Connector\Desinstalar.exe"'
has "$out" 'QuietUninstallString    REG_SZ    "C:\Program Files\Tolvenar\Connector\Desinstalar.exe" /S'
grep -a -q -E 'EstimatedSize +REG_DWORD +0x[0-9a-f]{3,}' "$out" || fail "no EstimatedSize"
LC_ALL=C grep -a -q -E 'DisplayName +REG_SZ +T.{1,2}lvenar Connector' "$out" || fail "no DisplayName"
cmp -s "$exe" "$program/TolvenarConnector.exe" || fail "installed executable differs"
cmp -s "$readme" "$program/README.txt" || fail "installed README differs"
# The operator's guide, for Notepad: UTF-8 with its mark, CR LF line ends.
cmp -s "$build/LEIAME.txt" "$program/LEIAME.txt" || fail "installed LEIAME differs"
[ "$(head -c 3 "$program/LEIAME.txt" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "LEIAME.txt has no UTF-8 mark"
grep -q $'\r$' "$program/LEIAME.txt" && ! grep -q $'[^\r]$' "$program/LEIAME.txt" || fail "LEIAME.txt lines do not all end in CR LF"
compgen -G "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/T*lvenar Connector/Guia de operacao (LEIAME).lnk" > /dev/null ||
  fail "no Start menu entry for the guide"
[ -f "$program/Desinstalar.exe" ] || fail "no uninstaller"
printf '[Connector]\r\nServidor=%s\r\nCNPJ=%s\r\nCodigoVinculacao=ab-12cd\r\nAPILocal=http://127.0.0.1:3001\r\n' \
  "$server_url" "$cnpj" > "$work/expected.ini"
cmp -s "$work/expected.ini" "$ini" || { fail "INI as written differs"; diff <(cat -A "$work/expected.ini") <(cat -A "$ini") >&2 || true; }
log="$program/TolvenarConnector-setup.log"
for text in "TolvenarConnector.ini criado: servidor $server_url" "Servico TolvenarConnector em execucao." \
  "Diagnostico (TolvenarConnector.exe -check):" "Servidor: https://127.0.0.1:9//tc" "Resultado: FALHA" \
  "Diagnostico: ha problemas (codigo 1)" "Instalacao concluida."; do
  has "$log" "$text"
done
cmp -s "$log" "$work/install-stdout.txt" || fail "standard output and setup log differ"
acl=$(grep -a -o 'Permissoes de TolvenarConnector.ini: [^\r]*' "$log" | sed 's/.*: //') || true
case "$acl" in
  "D:PAI(A;;FA;;;SY)(A;;FA;;;BA)" | "D:P(A;;FA;;;SY)(A;;FA;;;BA)") ;;
  *WD*)
    # Wine 8 keeps no access list on files (no stored descriptor): it reads
    # one back from the Unix mode, with Everyone. The setup's calls
    # succeeded (a failure would have failed it); the narrowed list itself
    # can only be seen on Windows.
    echo "NOTE: access list not checked: Wine reads it back from the Unix mode ($acl)" ;;
  *) fail "unexpected access list of the INI: '$acl'" ;;
esac
explain "$out" "$log"

step "a start that fails fails the setup; uninstall with /PURGE"
cat > "$work/purge.bat" <<EOF
@echo off
$(quiet_uninstall /PURGE)
$(wait_for_uninstall 1)
if exist "C:\\Program Files\\Tolvenar" echo [folder left]
rem No usable profile: the service stops as soon as it starts.
mkdir "C:\\Program Files\\Tolvenar\\Connector"
echo [Connector]> "C:\\Program Files\\Tolvenar\\Connector\\TolvenarConnector.ini"
echo Ativo=0>> "C:\\Program Files\\Tolvenar\\Connector\\TolvenarConnector.ini"
"$SETUP" /S > "$W\\startfail-stdout.txt"
echo [start failure exit %ERRORLEVEL%]
$(quiet_uninstall /PURGE)
$(wait_for_uninstall 2)
if exist "C:\\Program Files\\Tolvenar" echo [folder left]
EOF
run_batch purge
out="$work/purge.txt"
has "$out" "[start failure exit 3]"
has "$work/startfail-stdout.txt" "ERRO: O servico TolvenarConnector parou logo apos iniciar"
has "$work/startfail-stdout.txt" "TolvenarConnector.ini existente mantido sem alteracao"
[ "$(grep -c -F '[uninstall exit 0]' "$out")" -eq 2 ] || fail "uninstaller exit codes"
lacks "$out" "still"
lacks "$out" "[folder left]"
explain "$out" "$work/startfail-stdout.txt"

step "install that enrolls against the reference connection server"
"$server_exe" --port 0 --port-file "$work/port" --code 12345678000195:AB-12CD > "$work/server.log" 2>&1 &
server_pid=$!
"$api_exe" --port 0 --port-file "$work/api_port" > "$work/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && [ -s "$work/api_port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
api="http://127.0.0.1:$(cat "$work/api_port")"
admin() { curl -s --max-time 10 "http://127.0.0.1:$port/admin/$1"; }
cat > "$work/enroll.bat" <<EOF
@echo off
"$SETUP" /S /SERVER=http://127.0.0.1:$port /CNPJ=$cnpj /CODE=ab-12cd /APILOCAL=$api /HOMOLOGACAO > "$W\\enroll-stdout.txt"
echo [install exit %ERRORLEVEL%]
for /l %%i in (1,1,60) do (
  findstr /r /c:"^ConnectorSecretEnc=." "C:\\Program Files\\Tolvenar\\Connector\\TolvenarConnector.ini" >nul 2>&1
  if not errorlevel 1 goto enrolled
  ping -n 2 127.0.0.1 >nul
)
echo [not enrolled]
:enrolled
EOF
run_batch enroll
out="$work/enroll.txt"
has "$out" "[install exit 0]"
lacks "$out" "[not enrolled]"
has "$work/enroll-stdout.txt" "Homologacao: servidor http:// permitido (PermitirHTTPInseguro=1)."
[ "$(admin enrollments | python3 -c 'import json,sys; print(",".join(e["cnpj"] for e in json.load(sys.stdin)))')" = 12345678000195 ] ||
  fail "enrollments: $(admin enrollments)"
tr -d '\r' < "$ini" > "$work/enrolled.ini"
for line in "Servidor=http://127.0.0.1:$port" "CNPJ=$cnpj" "CodigoVinculacao=" "APILocal=$api" "PermitirHTTPInseguro=1"; do
  grep -q -x -F -- "$line" "$work/enrolled.ini" || fail "enrolled INI lacks the line $line"
done
grep -q -E '^ConnectorSecretEnc=.+' "$work/enrolled.ini" || fail "enrolled INI lacks the secret"
explain "$out" "$work/enroll-stdout.txt" "$ini"

step "upgrade over the enrolled connector"
# A second profile with the same enrollment: the check then says more than
# one string of the setup can hold.
{ printf '\r\n'; sed '1s/.*/[Connector_B]\r/' "$ini"; } >> "$ini"
cp "$ini" "$work/before.ini"
printf '2026-01-01 00:00:00 [12345678000195] marcador do teste\r\n' >> "$program/TolvenarConnector.log"
cp "$program/TolvenarConnector.log" "$work/before.log"
printf 'registro antigo\r\n' > "$program/TolvenarConnector.1.log"
printf 'x' >> "$program/TolvenarConnector.exe"
cat > "$work/upgrade.bat" <<EOF
@echo off
sc start TolvenarConnector >nul 2>&1
for /l %%i in (1,1,60) do (
  sc query TolvenarConnector | findstr /c:"RUNNING" >nul
  if not errorlevel 1 goto running
  ping -n 2 127.0.0.1 >nul
)
echo [service not running before the upgrade]
:running
"$SETUP" /S /SERVER=https://outro.example.com.br /CNPJ=11.222.333/0001-81 /CODE=zz-99 > "$W\\upgrade-stdout.txt"
echo [upgrade exit %ERRORLEVEL%]
rem The test looks for polls of the restarted service, then says go.
for /l %%i in (1,1,120) do (
  if exist "$W\\go" goto done
  ping -n 2 127.0.0.1 >nul
)
:done
EOF
timeout 600 "$WINE" cmd /c "$W\\upgrade.bat" > "$work/upgrade.out" 2> "$work/upgrade.err" &
batch_pid=$!
for _ in $(seq 1800); do grep -q 'upgrade exit' "$work/upgrade.out" 2>/dev/null && break; sleep 0.1; done
requests_then=$(admin status | python3 -c 'import json,sys; print(json.load(sys.stdin)["requests"])')
polled=0
for _ in $(seq 600); do
  now=$(admin status | python3 -c 'import json,sys; print(json.load(sys.stdin)["requests"])')
  [ "$now" -gt "$requests_then" ] && { polled=1; break; }
  sleep 0.1
done
touch "$work/go"
wait "$batch_pid" || fail "upgrade batch ended with $?"
"$WINESERVER" -w 2>/dev/null || true
tr -d '\r' < "$work/upgrade.out" > "$work/upgrade.txt"
out="$work/upgrade.txt"
has "$out" "[upgrade exit 0]"
lacks "$out" "[service not running before the upgrade]"
[ "$polled" -eq 1 ] || fail "no poll from the service after the upgrade"
for text in "Parando o servico TolvenarConnector..." "Servico parado." "TolvenarConnector.ini existente mantido sem alteracao" \
  "Os parametros de configuracao foram ignorados." "Servico TolvenarConnector ja registrado." "Servico TolvenarConnector em execucao." \
  "Diagnostico: tudo certo (codigo 0)."; do
  has "$work/upgrade-stdout.txt" "$text"
done
[ "$(grep -c -F 'Resultado: pronta' "$work/upgrade-stdout.txt")" -eq 2 ] || fail "the check did not pass for both profiles"
has "$work/upgrade-stdout.txt" "[Connector_B]"
has "$work/upgrade-stdout.txt" "  Resumo: "
cmp -s "$work/before.ini" "$ini" || fail "the upgrade changed the INI"
cmp -s "$exe" "$program/TolvenarConnector.exe" || fail "the upgrade did not replace the executable"
cmp -s -n "$(stat -c %s "$work/before.log")" "$work/before.log" "$program/TolvenarConnector.log" || fail "the upgrade lost the log"
[ "$(cat "$program/TolvenarConnector.1.log")" = $'registro antigo\r' ] || fail "the upgrade lost the rotated log"
explain "$out" "$work/upgrade-stdout.txt"

step "uninstall keeps the INI and the logs"
cat > "$work/uninstall.bat" <<EOF
@echo off
$(quiet_uninstall "")
$(wait_for_uninstall 1)
EOF
run_batch uninstall
out="$work/uninstall.txt"
has "$out" "[uninstall exit 0]"
lacks "$out" "still"
cmp -s "$work/before.ini" "$ini" || fail "the uninstall changed the INI"
[ -f "$program/TolvenarConnector.1.log" ] || fail "the uninstall removed the rotated log"
cmp -s -n "$(stat -c %s "$work/before.log")" "$work/before.log" "$program/TolvenarConnector.log" || fail "the uninstall lost the log"
left=$(cd "$program" && ls | sort | tr '\n' ' ')
[ "$left" = "TolvenarConnector.1.log TolvenarConnector.ini TolvenarConnector.log " ] || fail "left after uninstall: $left"
explain "$out"

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "Windows setup under Wine: OK"

#!/usr/bin/env bash
# The Windows zip and its install script, under Wine:
#
#  1. cpack makes the zip from the Windows build; it holds both programs, both settings files
#     (empty PASSWORD, TLS=Yes, the certificate and key beside the executable), install.cmd and
#     uninstall.cmd.
#  2. install.cmd, run by Wine's cmd from the unpacked folder, registers the service ZelQuarvSvc
#     (reg query, as Wine's sc has no qc: the folder's QuarvSvc.exe, quoted, started
#     automatically) and the event log source (reg query: EventMessageFile is that
#     QuarvSvc.exe, TypesSupported 7); the service then starts under Wine's service control
#     manager with the zip's settings (given a port, BASE and password), serves its port, and
#     its first start with TLS=Yes has made its certificate and key in the folder.
#  3. One event read back: QuarvSvc.exe started by hand logs why it ends. Wine keeps no event
#     log (RegisterEventSource gives a placeholder handle, nothing is stored, its wevtutil is a
#     stub that prints nothing); its ReportEvent writes each entry's strings to its "eventlog"
#     debug channel, which is where this test reads the entry back (WINEDEBUG=+eventlog).
#     Event Viewer's use of the message table in QuarvSvc.exe cannot be shown here; the test
#     checks that the table is in the executable (its message text resource).
#  4. uninstall.cmd removes the service and the event log source again.
#
# Environment: QUARV_WINDOWS_BUILD (default build/mingw32-tests), QUARV_WINEPREFIX (as for
# scripts/wine-run.sh), QUARV_WINE_SERVER_PID (set by scripts/ci-windows.sh: a persistent Wine
# server runs for the prefix; without it the test starts and ends one of its own, so no other
# Wine program may run in the prefix). Wine must be installed and its prefix prepared
# (scripts/install-wine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
windows_build="$(realpath "${QUARV_WINDOWS_BUILD:-$root/build/mingw32-tests}")"
. scripts/lib/wine-env.sh
wine_env
service_name=ZelQuarvSvc
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZelQuarvSvc'

work=$(mktemp -d)
cleanup() {
  # Whatever the test left registered goes.
  timeout 60 wine sc stop "$service_name" >/dev/null 2>&1 </dev/null || true
  timeout 60 wine sc delete "$service_name" >/dev/null 2>&1 </dev/null || true
  timeout 60 wine reg delete "$source_key" /f >/dev/null 2>&1 </dev/null || true
  wine_server_stop
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {
  local what=$1
  shift
  if "$@"; then echo "PASS: $what"; else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wine_bounded() { timeout 60 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
has() { grep -q -- "$1" "$2"; }

# A persistent server of our own unless scripts/ci-windows.sh has one: without one, Wine ends a
# service some seconds after the last other Wine program has ended.
[ -n "${QUARV_WINE_SERVER_PID:-}" ] || wine_server_start

# 1. The zip.
(cd "$windows_build" && cpack -G ZIP >/dev/null)
zip=$(ls -t "$windows_build"/quarv-*-win32.zip | head -n 1)
unzip -q "$zip" -d "$work"
folder=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
for file in QuarvSvc.exe QuarvAgent.exe QuarvSvc.ini QuarvAgent.ini install.cmd uninstall.cmd; do
  check "the zip holds $file" test -f "$folder/$file"
done
check "the settings in the zip have an empty PASSWORD" grep -q $'^PASSWORD=\r$' "$folder/QuarvSvc.ini"
zip_says() { grep -qx -- "$2"$'\r' "$folder/$1"; }
check "the service's settings in the zip say TLS=Yes" zip_says QuarvSvc.ini TLS=Yes
check "the agent's settings in the zip say TLS=Yes" zip_says QuarvAgent.ini TLS=Yes
check "the certificate lies beside the executable" zip_says QuarvSvc.ini CERTIFICATE=QuarvSvc.crt
check "and so does its key" zip_says QuarvSvc.ini KEY=QuarvSvc.key
rsrc_in_exe() { i686-w64-mingw32-objdump -h "$folder/QuarvSvc.exe" | grep -q '\.rsrc'; }
check "the message table is built into QuarvSvc.exe (its resources)" rsrc_in_exe

# 2. install.cmd.
exe_path="$(winpath "$folder/QuarvSvc.exe")"
wine_bounded cmd /c "$(winpath "$folder/install.cmd")" >"$work/install.out"
check "install.cmd reports the service installed" has "ZelQuarvSvc is installed" "$work/install.out"
wine_bounded reg query "$source_key" >"$work/reg.out" || true
check "the event log source names QuarvSvc.exe as its message file" \
  grep -qiF "EventMessageFile    REG_EXPAND_SZ    $exe_path" "$work/reg.out"
check "the event log source takes errors, warnings and information" \
  grep -qiE 'TypesSupported +REG_DWORD +0x7' "$work/reg.out"
wine_bounded sc qc "$service_name" >"$work/qc.out" || true
wine_bounded reg query 'HKLM\SYSTEM\CurrentControlSet\Services\ZelQuarvSvc' >"$work/svc.out" || true
check "the service runs the folder's QuarvSvc.exe" grep -qiF "\"$exe_path\"" "$work/svc.out"
check "the service starts automatically (Start 2)" grep -qiE 'Start +REG_DWORD +0x2' "$work/svc.out"

# The service starts from that path under Wine's service control manager and serves its port,
# with the zip's settings given a port, BASE and password (TLS, CERTIFICATE, KEY as shipped).
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir "$work/outbox"
base="$(winpath "$work/outbox")"
sed -i -e "s|^PORT=.*|PORT=$port\r|" -e "s|^ADDRESS=.*|ADDRESS=127.0.0.1\r|" \
  -e "s|^BASE=.*|BASE=${base//\\/\\\\}\r|" -e "s|^PASSWORD=.*|PASSWORD=install test\r|" \
  "$folder/QuarvSvc.ini"
wine_bounded sc start "$service_name" >/dev/null || true
served=1
for _ in $(seq 1 100); do
  if port_open "$port"; then
    served=0
    break
  fi
  sleep 0.2
done
check "the installed service starts and serves its port" test "$served" -eq 0
check "its first start made its certificate and key beside it (TLS=Yes)" \
  test -s "$folder/QuarvSvc.crt" -a -s "$folder/QuarvSvc.key"
wine_bounded sc stop "$service_name" >/dev/null || true
for _ in $(seq 1 100); do
  wine_bounded sc query "$service_name" | grep -q STOPPED && break
  sleep 0.2
done

# 3. One event read back from Wine's event log channel.
WINEDEBUG=+eventlog timeout 60 wine "$folder/QuarvSvc.exe" </dev/null >/dev/null 2>"$work/event.err" || true
check "an event of QuarvSvc.exe reaches the event log (Wine's eventlog channel)" \
  grep -q 'eventlog:ReportEvent.*service control manager' "$work/event.err"

# 4. uninstall.cmd.
wine_bounded cmd /c "$(winpath "$folder/uninstall.cmd")" >"$work/uninstall.out"
set +e
wine_bounded reg query "$source_key" >/dev/null
source_left=$?
wine_bounded reg query 'HKLM\SYSTEM\CurrentControlSet\Services\ZelQuarvSvc' >/dev/null
service_left=$?
set -e
check "uninstall.cmd removes the event log source" test "$source_left" -ne 0
check "uninstall.cmd removes the service" test "$service_left" -ne 0

if [ "$failures" -ne 0 ]; then
  echo "windows install test: $failures check(s) failed"
  exit 1
fi
echo "windows install test: all checks passed"

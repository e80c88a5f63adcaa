#!/usr/bin/env bash
# The Windows part of CI: the test suites of the 32-bit Windows build, run under Wine.
#
# Installs what is missing (MinGW-w64, GoogleTest's sources, Wine and its prefix), starts a Wine
# server of its own that lives for the whole run, builds the mingw32-tests preset, runs its
# suites with ctest, runs the system test of the real programs (scripts/windows-system-test.sh:
# the service under Wine's service control manager, both programs against their Linux
# counterparts), checks the zip and its install script (scripts/windows-install-test.sh), and
# stops the server again. Every Wine step is bounded in time, and the time of each step is
# printed.
#
# Environment: QUARV_WINEPREFIX (see scripts/wine-run.sh), QUARV_WERROR (as for every preset),
# QUARV_LINUX_BUILD (the Linux build for the system test, default build/default).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc 2>/dev/null || echo 2)"
# The Linux build whose programs the system test runs beside the Windows ones.
linux_build="${QUARV_LINUX_BUILD:-build/default}"
export QUARV_LINUX_BUILD="$linux_build"
export QUARV_WINEPREFIX="${QUARV_WINEPREFIX:-${HOME:-/root}/.cache/quarv/wine}"
export WINEPREFIX="$QUARV_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

run_start=$(date +%s)
step_start=$run_start
step() {
  local now
  now=$(date +%s)
  echo "== windows: $1 (previous step $((now - step_start)) s, total $((now - run_start)) s)"
  step_start=$now
}

server_pid=""
stop_server() {
  [ -n "$server_pid" ] || return 0
  if kill -0 "$server_pid" 2>/dev/null; then
    # Ends every program still running in the prefix, and the server.
    timeout 30 wineserver -k >/dev/null 2>&1 </dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
trap stop_server EXIT

# The server's socket, once it accepts clients. Debian's Wine keeps its server directories under
# a directory whose name it records in the prefix; elsewhere they are under /tmp/.wine-UID.
server_ready() {
  local base device inode
  base="/tmp/.wine-$(id -u)"
  [ -f "$WINEPREFIX/wineserver" ] && base="/tmp/$(cat "$WINEPREFIX/wineserver")"
  read -r device inode < <(stat -c '%d %i' "$WINEPREFIX")
  [ -S "$base/$(printf 'server-%x-%x' "$device" "$inode")/socket" ]
}

step "installing what is missing"
scripts/install-deps.sh googletest
timeout 1200 scripts/install-wine.sh

step "starting a Wine server for the run"
# A server left by an earlier wine-run.sh ends by itself shortly after its last program.
timeout 120 wineserver -w >/dev/null 2>&1 </dev/null || true
# Persistent and in the foreground, so that this script owns it: without it, Wine would stop the
# helper processes (and a service) some seconds after the last program ended.
wineserver -f -p >/dev/null 2>&1 </dev/null &
server_pid=$!
for _ in $(seq 1 100); do
  server_ready && break
  kill -0 "$server_pid" 2>/dev/null || { echo "the Wine server did not start" >&2; exit 1; }
  sleep 0.1
done
# Starts Wine's helper processes with /dev/null as their output; the first test would otherwise
# start them with its own output, which ctest would then wait on.
timeout 300 wineboot >/dev/null 2>&1 </dev/null

step "building the mingw32-tests preset"
cmake --preset mingw32-tests >/dev/null
cmake --build --preset mingw32-tests -j "$jobs"

step "building the Linux programs for the system test (default preset, $linux_build)"
cmake --preset default -B "$linux_build" >/dev/null
cmake --build "$linux_build" -j "$jobs" --target QuarvSvc QuarvAgent

step "running the Windows suites under Wine"
timeout 1500 ctest --preset mingw32-tests -j "$jobs"

step "system test: the Windows programs under Wine, with the Linux ones"
QUARV_WINE_SERVER_PID="$server_pid" timeout 600 scripts/windows-system-test.sh

step "the zip and its install script under Wine"
QUARV_WINE_SERVER_PID="$server_pid" timeout 600 scripts/windows-install-test.sh

stop_server
step "done"

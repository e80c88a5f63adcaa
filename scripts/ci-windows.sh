#!/usr/bin/env bash
# The Windows part of CI: the test suites of the 32-bit Windows build, run under Wine.
#
# Installs what is missing (MinGW-w64, GoogleTest's sources, Wine and its prefix, the static
# OpenSSL of scripts/openssl-mingw.sh, built once and then taken from its cache), starts a Wine
# server of its own that lives for the whole run, builds the mingw32-tests preset, runs its
# suites with ctest, runs the system test of the real programs (scripts/windows_system_test.py:
# the service under Wine's service control manager, both programs against their Linux
# counterparts), checks the zip and its install script (scripts/windows-install-test.sh), and
# stops the server again. Every Wine step is bounded in time, and the time of each step is
# printed.
#
# Environment: QUARV_WINEPREFIX (see scripts/wine-run.sh), QUARV_OPENSSL_MINGW (see
# scripts/openssl-mingw.sh), QUARV_WERROR (as for every preset), QUARV_LINUX_BUILD (the Linux
# build for the system test, default build/default).
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib/wine-env.sh
jobs="$(nproc 2>/dev/null || echo 2)"
# The Linux build whose programs the system test runs beside the Windows ones.
linux_build="${QUARV_LINUX_BUILD:-build/default}"
export QUARV_LINUX_BUILD="$linux_build"
wine_env

run_start=$(date +%s)
step_start=$run_start
step() {
  local now
  now=$(date +%s)
  echo "== windows: $1 (previous step $((now - step_start)) s, total $((now - run_start)) s)"
  step_start=$now
}
trap wine_server_stop EXIT

step "installing what is missing"
scripts/install-deps.sh googletest python3
timeout 1200 scripts/install-wine.sh

step "OpenSSL for the Windows build (built once, then reused from its cache)"
timeout 1200 scripts/openssl-mingw.sh

step "starting a Wine server for the run"
wine_server_start

step "building the mingw32-tests preset"
cmake --preset mingw32-tests >/dev/null
cmake --build --preset mingw32-tests -j "$jobs"

step "building the Linux programs for the system test (default preset, $linux_build)"
cmake --preset default -B "$linux_build" >/dev/null
cmake --build "$linux_build" -j "$jobs" --target QuarvSvc QuarvAgent

step "running the Windows suites under Wine"
timeout 1500 ctest --preset mingw32-tests -j "$jobs"

step "system test: the Windows programs under Wine, with the Linux ones"
QUARV_WINE_SERVER_PID="$wine_server_pid" timeout 600 scripts/windows_system_test.py

step "the zip and its install script under Wine"
QUARV_WINE_SERVER_PID="$wine_server_pid" timeout 600 scripts/windows-install-test.sh

wine_server_stop
step "done"

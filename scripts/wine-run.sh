#!/usr/bin/env bash
# Runs a program of the 32-bit Windows build under Wine. The mingw32-tests build uses it as its
# cross-compiling emulator: ctest runs every Windows test through it.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
#
# The exit code is the program's, modulo 256 (as Wine reports it). The prefix must have been
# prepared by scripts/install-wine.sh.
#
# Environment:
#   QUARV_WINEPREFIX  the Wine prefix (default $HOME/.cache/quarv/wine, as in install-wine.sh)
#   QUARV_WINEDEBUG   Wine's debug channels (default -all: no Wine diagnostics in the output)
#   QUARV_WINE_PERSIST  seconds that a Wine server started here stays after its last program
#                     (default 60), so that a series of tests starts it once
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PROGRAM.exe [ARGUMENTS...]" >&2
  exit 2
fi

# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/lib/wine-env.sh"
wine_env
if ! wine_prefix_ready || ! command -v wine >/dev/null; then
  echo "$0: no Wine prefix at $WINEPREFIX: run scripts/install-wine.sh first" >&2
  exit 127
fi

# When no Wine server runs for the prefix yet, start one that outlives this program, and let
# wineboot start Wine's helper processes (services, devices) with /dev/null as their output.
# Otherwise the first program would start them, they would inherit its output, and whoever reads
# that output (ctest) would wait for them to end. The lock keeps a second caller from starting
# its program while the first is still doing this.
exec 9>"$WINEPREFIX/.quarv-start.lock"
flock -w 120 9 || true
# (The lock's descriptor is closed for both: the server would hold the lock for its whole life.)
if wineserver -p"${QUARV_WINE_PERSIST:-60}" >/dev/null 2>&1 </dev/null 9>&-; then
  timeout 120 wineboot >/dev/null 2>&1 </dev/null 9>&- || true
fi
exec 9>&-

# Discovery of the test names reads the list that the test program prints; the Windows C
# runtime ends its lines with CR LF, which the reader would take as part of the names.
for argument in "$@"; do
  if [ "$argument" = "--gtest_list_tests" ]; then
    set +e
    wine "$@" | tr -d '\r'
    status=${PIPESTATUS[0]}
    exit "$status"
  fi
done

exec wine "$@"

#!/usr/bin/env bash
# Installs Wine for running the 32-bit Windows build on Debian 12 when it is missing, and
# prepares the Wine prefix that scripts/wine-run.sh runs the Windows programs in.
# Idempotent and quiet: a second run with everything in place does nothing and prints nothing.
#
# Environment: QUARV_WINEPREFIX, the prefix (default: $HOME/.cache/quarv/wine, the same default
# as in scripts/wine-run.sh).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/lib/apt.sh"
. "$(dirname "$0")/lib/wine-env.sh"
wine_env

# wine32 (the i386 package) runs the 32-bit programs; wine64 and wine give the loader and the
# tools (wineboot, wineserver).
ensure_packages wine wine64 wine32:i386

if ! wine_prefix_ready; then
  echo "Preparing the Wine prefix $WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Every output goes to /dev/null: the helper processes that wineboot starts inherit it, and a
  # reader of a pipe they held would wait for them to end.
  if ! timeout 600 wineboot -i >/dev/null 2>&1 </dev/null; then
    echo "wineboot -i failed or timed out for $WINEPREFIX" >&2
    exit 1
  fi
  # Lets the server write the registry to disk and end (with the helpers) before the prefix is
  # called ready.
  timeout 120 wineserver -w >/dev/null 2>&1 </dev/null || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "the Wine prefix $WINEPREFIX was not created" >&2
    exit 1
  fi
  touch "$WINEPREFIX/.quarv-prefix-ready"
fi

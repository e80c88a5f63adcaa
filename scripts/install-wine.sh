#!/usr/bin/env bash
# Installs Wine for running the 32-bit Windows build on Debian 12 when it is missing, and
# prepares the Wine prefix that scripts/wine-run.sh runs the Windows programs in.
# Idempotent and quiet: a second run with everything in place does nothing and prints nothing.
#
# Environment: QUARV_WINEPREFIX, the prefix (default: $HOME/.cache/quarv/wine, the same default
# as in scripts/wine-run.sh).
set -euo pipefail

prefix="${QUARV_WINEPREFIX:-${HOME:-/root}/.cache/quarv/wine}"
ready_mark="$prefix/.quarv-prefix-ready"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# wine32 (the i386 package) runs the 32-bit programs; wine64 and wine give the loader and the
# tools (wineboot, wineserver).
if ! installed wine || ! installed wine64 || ! installed wine32:i386; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  echo "Installing Wine (wine, wine32, wine64)"
  # apt's own chatter is shown only when it fails.
  log="$(mktemp)"
  if ! { $sudo apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
           wine wine32:i386 wine64; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "installing Wine failed" >&2
    exit 1
  fi
  rm -f "$log"
fi

if [ ! -f "$ready_mark" ]; then
  echo "Preparing the Wine prefix $prefix"
  mkdir -p "$(dirname "$prefix")"
  export WINEPREFIX="$prefix" WINEDEBUG=-all
  # No Mono and no Gecko: console programs need neither, and their installers would try to
  # download.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # Every output goes to /dev/null: the helper processes that wineboot starts inherit it, and a
  # reader of a pipe they held would wait for them to end.
  if ! timeout 600 wineboot -i >/dev/null 2>&1 </dev/null; then
    echo "wineboot -i failed or timed out for $prefix" >&2
    exit 1
  fi
  # Lets the server write the registry to disk and end (with the helpers) before the prefix is
  # called ready.
  timeout 120 wineserver -w >/dev/null 2>&1 </dev/null || true
  if [ ! -f "$prefix/system.reg" ]; then
    echo "the Wine prefix $prefix was not created" >&2
    exit 1
  fi
  touch "$ready_mark"
fi

#!/usr/bin/env bash
# The Wine environment of the Windows scripts: the prefix, the quiet settings, and a persistent
# Wine server that a script owns for its whole run.
#
# Sourced:  . scripts/lib/wine-env.sh; wine_env; wine_server_start; ...; wine_server_stop
# Run:      scripts/lib/wine-env.sh run COMMAND [ARGUMENTS...]
#           runs COMMAND in the Wine environment, with a persistent server of its own that ends
#           with it, unless QUARV_WINE_SERVER_PID says that one runs already (as in
#           scripts/ci-windows.sh).
#           The exit status is COMMAND's.
#
# Environment:
#   QUARV_WINEPREFIX  the Wine prefix (default $HOME/.cache/quarv/wine, prepared by
#                     scripts/install-wine.sh)
#   QUARV_WINEDEBUG   Wine's debug channels (default -all: no Wine diagnostics in the output)

# Exports WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES (no Mono and no Gecko: console programs need
# neither, and their installers would try to download), and QUARV_WINE_SERVICES_LOG (see
# wine_server_start).
wine_env() {
  export QUARV_WINEPREFIX="${QUARV_WINEPREFIX:-${HOME:-/root}/.cache/quarv/wine}"
  export WINEPREFIX="$QUARV_WINEPREFIX"
  export QUARV_WINE_SERVICES_LOG="$WINEPREFIX/quarv-services.log"
  export WINEDEBUG="${QUARV_WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Whether scripts/install-wine.sh has prepared the prefix.
wine_prefix_ready() { [ -f "$WINEPREFIX/.quarv-prefix-ready" ]; }

# A Linux path as Wine sees it through its Z: drive.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The server's socket, once it accepts clients. Debian's Wine keeps its server directories under
# a directory whose name it records in the prefix; elsewhere they are under /tmp/.wine-UID.
wine_server_ready() {
  local base device inode
  base="/tmp/.wine-$(id -u)"
  [ -f "$WINEPREFIX/wineserver" ] && base="/tmp/$(cat "$WINEPREFIX/wineserver")"
  read -r device inode < <(stat -c '%d %i' "$WINEPREFIX")
  [ -S "$base/$(printf 'server-%x-%x' "$device" "$inode")/socket" ]
}

# Starts a persistent Wine server in the foreground of this shell (so that it is ours to stop) and
# sets wine_server_pid: without one, Wine ends a service, and the helper processes, some seconds
# after the last program has ended. A server left by an earlier scripts/wine-run.sh is waited
# out first. Then wineboot starts Wine's helper processes with a file as their output: the
# first program would otherwise start them with its own output, and whoever reads that output
# would wait for them to end. That file, QUARV_WINE_SERVICES_LOG (emptied here), is where a
# service's log can be read: Wine keeps no event log, its ReportEvent writes an entry's strings
# to the "eventlog" debug channel of the reporting process, and a service started by the
# service control manager has the channels and the output of services.exe, which wineboot
# starts here with that channel on. Fails when another server keeps running for the prefix.
wine_server_pid=""
wine_server_start() {
  timeout 120 wineserver -w >/dev/null 2>&1 </dev/null || true
  wineserver -f -p >/dev/null 2>&1 </dev/null &
  wine_server_pid=$!
  local _
  for _ in $(seq 1 100); do
    kill -0 "$wine_server_pid" 2>/dev/null || break
    wine_server_ready && break
    sleep 0.1
  done
  if ! kill -0 "$wine_server_pid" 2>/dev/null; then
    wait "$wine_server_pid" 2>/dev/null || true
    wine_server_pid=""
    echo "a Wine server already runs for $WINEPREFIX: stop it, or run from" \
      "scripts/ci-windows.sh" >&2
    return 1
  fi
  WINEDEBUG="$WINEDEBUG,+eventlog" timeout 300 wineboot >"$QUARV_WINE_SERVICES_LOG" 2>&1 \
    </dev/null || {
    echo "wineboot failed" >&2
    return 1
  }
}

# Ends every program still running in the prefix, and the server that wine_server_start started.
wine_server_stop() {
  [ -n "$wine_server_pid" ] || return 0
  if kill -0 "$wine_server_pid" 2>/dev/null; then
    timeout 30 wineserver -k >/dev/null 2>&1 </dev/null || true
    local _
    for _ in $(seq 1 50); do
      kill -0 "$wine_server_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -KILL "$wine_server_pid" 2>/dev/null || true
  fi
  wait "$wine_server_pid" 2>/dev/null || true
  wine_server_pid=""
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  if [ "${1:-}" != run ] || [ $# -lt 2 ]; then
    echo "usage: $0 run COMMAND [ARGUMENTS...]" >&2
    exit 2
  fi
  shift
  wine_env
  export QUARV_WINE_ENV=1 # tells COMMAND that it runs in this environment
  if ! wine_prefix_ready; then
    echo "no Wine prefix at $WINEPREFIX: run scripts/install-wine.sh first" >&2
    exit 1
  fi
  if [ -n "${QUARV_WINE_SERVER_PID:-}" ]; then
    exec "$@"
  fi
  trap wine_server_stop EXIT
  trap 'exit 130' INT TERM
  wine_server_start
  status=0
  QUARV_WINE_SERVER_PID="$wine_server_pid" "$@" || status=$?
  exit "$status"
fi

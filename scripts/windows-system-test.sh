#!/usr/bin/env bash
# System test of the Windows programs under Wine, with the Linux programs beside them:
#
#  0. QuarvSvc.exe and QuarvAgent.exe are 32-bit console programs importing system DLLs only.
#  1. QuarvSvc.exe started by hand ends at once with exit code 1063 and prints nothing.
#  2. QuarvSvc.exe as the service ZelQuarvSvc under Wine's service control manager: sc create,
#     sc start, RUNNING; a transfer by the Linux QuarvAgent; pause (the port is no longer
#     served) and continue (it is served again) through tests/windows/service_control_tool.cpp;
#     sc stop (STOPPED with exit code 0, the process ends with 0); sc delete. A file that a
#     Windows program has open for writing is not sent. Settings that refuse the start: PORT 0
#     (STOPPED with 1610), no PASSWORD (STOPPED with 1066, service-specific code 1, the port
#     never served).
#  3. Interoperation: the Windows QuarvAgent.exe fetches from the Linux QuarvSvc; the Linux
#     QuarvAgent fetches from the Windows service. Files byte-exact, with the service's times.
#  4. The Windows agent's output to a file is the Linux agent's UTF-8 output in code page 932,
#     byte for byte.
#  5. Resume across the platforms: a transfer cut by a proxy leaves a partial file, and the
#     other platform's agent resumes it from its length.
#  6. The Windows agent on a Japanese system (ANSI code page 932): names with double-byte
#     characters whose second byte is 0x5C in its directory, its BASE and the file fetched; the
#     base prefix's closing backslash in that code page (a test of quarv_windows_tests.exe).
#  7. The Windows agent from the Windows service with DELETEFILE=Yes.
#  8. The Windows agent on a console (a terminal through Wine's console host, not in code page
#     932): the terminal shows the same text as the Linux agent's, Japanese included.
#
# Prints one PASS or FAIL line per check and exits non-zero when a check failed. Every Wine
# command is bounded in time; on any way out the service is stopped and deleted and every process
# the test started is ended.
#
#   scripts/windows-system-test.sh
#
# Environment:
#   QUARV_WINDOWS_BUILD  the Windows build (default build/mingw32-tests): service/QuarvSvc.exe,
#                        agent/QuarvAgent.exe, tests/quarv_service_control_tool.exe,
#                        tests/quarv_windows_tests.exe
#   QUARV_LINUX_BUILD    the Linux build (default build/default): service/QuarvSvc,
#                        agent/QuarvAgent
#   QUARV_WINEPREFIX     the Wine prefix (as for scripts/wine-run.sh)
#   QUARV_WINE_SERVER_PID  set by scripts/ci-windows.sh: a persistent Wine server already runs
#                        for the prefix. Without it the test starts (and ends) one of its own.
#   QUARV_KEEP_WORK=1    keeps the temporary directory for inspection
set -Eeuo pipefail
# A command that fails outside a check ends the test; say where.
trap 'echo "FAIL: line $LINENO: \"$BASH_COMMAND\" failed"' ERR
cd "$(dirname "$0")/.."
root="$(pwd)"

windows_build="$(realpath "${QUARV_WINDOWS_BUILD:-$root/build/mingw32-tests}")"
linux_build="$(realpath "${QUARV_LINUX_BUILD:-$root/build/default}")"
export WINEPREFIX="${QUARV_WINEPREFIX:-${HOME:-/root}/.cache/quarv/wine}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

service_name=ZelQuarvSvc
wine_timeout=60  # seconds for any one Wine command
password="system-$RANDOM$RANDOM"

win_svc_exe="$windows_build/service/QuarvSvc.exe"
win_agent_exe="$windows_build/agent/QuarvAgent.exe"
tool_exe="$windows_build/tests/quarv_service_control_tool.exe"
windows_tests_exe="$windows_build/tests/quarv_windows_tests.exe"
for program in "$win_svc_exe" "$win_agent_exe" "$tool_exe" "$windows_tests_exe" \
  "$linux_build/service/QuarvSvc" \
  "$linux_build/agent/QuarvAgent"; do
  if [ ! -x "$program" ]; then
    echo "FAIL: $program is missing: build the mingw32-tests and default presets first" >&2
    exit 1
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/quarv-wine-system.XXXXXX")"
failures=0
own_server_pid=""
service_created=0
background_pids=()

pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# A failure after which the rest cannot run.
die() {
  echo "FAIL: $*"
  exit 1
}
check() {
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# A Linux path as Wine sees it through its Z: drive.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine_bounded() { timeout "$wine_timeout" wine "$@" </dev/null; }
tool() { wine_bounded "$(winpath "$tool_exe")" "$@" 2>&1 | tr -d '\r'; }
sc_query() { wine_bounded sc query "$service_name" 2>/dev/null | tr -d '\r'; }
service_state() { sc_query | awk '$1 == "STATE" { print $4 }'; }
# Waits (at most 20 s) until the service reports the state.
wait_for_state() {
  for _ in $(seq 1 100); do
    [ "$(service_state)" = "$1" ] && return 0
    sleep 0.2
  done
  return 1
}
# Whether Windows sees the file as hidden; fails when it cannot tell.
hidden_on_windows() {  # path
  local attributes
  attributes="$(tool attributes "$(winpath "$1")" | awk '$1 == "ATTRIBUTES" { print $2 }')"
  [ -n "$attributes" ] && (((0x$attributes & 2) != 0))
}
not_hidden_on_windows() {  # path
  local attributes
  attributes="$(tool attributes "$(winpath "$1")" | awk '$1 == "ATTRIBUTES" { print $2 }')"
  [ -n "$attributes" ] && (((0x$attributes & 2) == 0))
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Waits (at most 10 s) until the port is served (open) or no longer served (closed).
wait_for_port() {
  for _ in $(seq 1 50); do
    if port_open "$1"; then [ "$2" = open ] && return 0; else [ "$2" = closed ] && return 0; fi
    sleep 0.2
  done
  return 1
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The Windows service's process, found by the unique path of its executable.
service_process_pids() {
  local pid
  for pid in $(pgrep -x QuarvSvc.exe 2>/dev/null || true); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$(winpath "$work")" && echo "$pid"
  done
  return 0
}

cleanup() {
  local status=$?
  trap - ERR
  set +e
  if [ "$service_created" -eq 1 ]; then
    wine_bounded sc stop "$service_name" >/dev/null 2>&1
    for _ in $(seq 1 50); do
      [ "$(service_state)" = STOPPED ] && break
      sleep 0.2
    done
    wine_bounded sc delete "$service_name" >/dev/null 2>&1
  fi
  local pid
  for pid in "${background_pids[@]}" $(service_process_pids); do
    kill -TERM "$pid" 2>/dev/null
  done
  for pid in "${background_pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  if [ -n "$own_server_pid" ]; then
    timeout 30 wineserver -k >/dev/null 2>&1 </dev/null
    for _ in $(seq 1 50); do
      kill -0 "$own_server_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -KILL "$own_server_pid" 2>/dev/null
    wait "$own_server_pid" 2>/dev/null
  fi
  if [ "${QUARV_KEEP_WORK:-0}" = 1 ]; then
    echo "(the test's files are kept in $work)"
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Wine ------------------------------------------------------------------------------------
if [ ! -f "$WINEPREFIX/.quarv-prefix-ready" ]; then
  die "no Wine prefix at $WINEPREFIX: run scripts/install-wine.sh first"
fi
if [ -z "${QUARV_WINE_SERVER_PID:-}" ]; then
  # A persistent server of our own: without one, Wine ends a service some seconds after the last
  # other Wine program has ended.
  wineserver -f -p >/dev/null 2>&1 </dev/null &
  own_server_pid=$!
  sleep 1
  kill -0 "$own_server_pid" 2>/dev/null ||
    die "a Wine server already runs for $WINEPREFIX: stop it, or run from scripts/ci-windows.sh"
  timeout 300 wineboot >/dev/null 2>&1 </dev/null || die "wineboot failed"
fi

# --- The files -------------------------------------------------------------------------------
outbox="$work/outbox"
mkdir -p "$outbox" "$work/win-service" "$work/win-agent" "$work/linux-service" \
  "$work/linux-agent" "$work/runtime"
chmod 700 "$work/runtime"
printf 'Quarv under Wine: a small text file.\r\n' >"$outbox/readme.txt"
head -c $((3 * 1024 * 1024 + 4321)) /dev/urandom >"$outbox/large.bin"
: >"$outbox/empty.log"
touch -d '2024-03-01 09:15:30.123456789' "$outbox/readme.txt"
touch -d '2023-12-24 18:00:00.000000050' "$outbox/large.bin"
touch -d '2024-01-02 03:04:05' "$outbox/empty.log"
cut_bytes=$((1024 * 1024))  # the proxy cuts within large.bin's body

cp "$win_svc_exe" "$work/win-service/"
cp "$win_agent_exe" "$work/win-agent/"
cp "$linux_build/service/QuarvSvc" "$work/linux-service/"
cp "$linux_build/agent/QuarvAgent" "$work/linux-agent/"

write_service_ini() {  # directory, port, base
  printf '[SERVER]\nADDRESS=127.0.0.1\nPORT=%s\nBASE=%s\nPASSWORD=%s\n' "$2" "$3" "$password" \
    >"$1/QuarvSvc.ini"
}
write_agent_ini() {  # directory, port, base, tries[, password[, DELETEFILE]]
  printf '[AGENT]\nHOST=127.0.0.1\nPORT=%s\nPASSWORD=%s\nBASE=%s\nTRY=%s\nDELETEFILE=%s\n' \
    "$2" "${5:-$password}" "$3" "$4" "${6:-No}" >"$1/QuarvAgent.ini"
}
# Runs the Linux agent against a port into a directory; its output goes to a file.
linux_agent() {  # port, inbox, tries, output[, password]
  mkdir -p "$2"
  write_agent_ini "$work/linux-agent" "$1" "$2" "$3" "${5:-}"
  XDG_RUNTIME_DIR="$work/runtime" timeout 120 "$work/linux-agent/QuarvAgent" >"$4" 2>&1
}
# Runs the Windows agent under Wine; its output (code page 932) goes to a file.
windows_agent() {  # port, inbox, tries, output[, password[, DELETEFILE]]
  mkdir -p "$2"
  write_agent_ini "$work/win-agent" "$1" "$(winpath "$2")" "$3" "${5:-}" "${6:-}"
  timeout 120 wine "$(winpath "$work/win-agent/QuarvAgent.exe")" </dev/null >"$4" 2>"$4.err"
}
# Every non-empty file of the outbox is in the inbox with the same bytes and the service's time
# (to the 100 ns of the wire), empty files are not fetched, no partial file is left.
same_as_outbox() {  # inbox[, the outbox as it was]
  local source name target ok=0
  for source in "${2:-$outbox}"/*; do
    name="${source##*/}"
    target="$1/$name"
    if [ ! -s "$source" ]; then
      [ ! -e "$target" ] || { echo "  $name: empty on the service, yet fetched"; ok=1; }
      continue
    fi
    if ! cmp -s "$source" "$target"; then
      echo "  $name: missing or different"
      ok=1
    elif [ "$(stat -c %.7Y "$source")" != "$(stat -c %.7Y "$target")" ]; then
      echo "  $name: time $(stat -c %.9Y "$target"), the service's $(stat -c %.9Y "$source")"
      ok=1
    fi
  done
  if compgen -G "$1/_incomplete_*" >/dev/null; then
    echo "  partial files left in $1"
    ok=1
  fi
  return "$ok"
}
contains() { grep -qF -- "$2" "$1"; }                    # file, UTF-8 text
contains_cp932() { iconv -f CP932 -t UTF-8 "$1" | grep -qF -- "$2"; }
# The Windows agent's output (code page 932) is the Linux agent's (UTF-8) converted.
same_console_bytes() {  # Linux output, Windows output
  iconv -f UTF-8 -t CP932 "$1" >"$1.cp932" || return 1
  cmp -s "$1.cp932" "$2" && return 0
  diff <(od -c "$1.cp932") <(od -c "$2") | head -20
  return 1
}
# Whether a connection (a file descriptor) was closed by the other end within ten seconds.
closed_by_peer() {  # descriptor
  local status=0
  timeout 10 cat <&"$1" >/dev/null 2>&1 || status=$?
  [ "$status" -ne 124 ]
}
# Starts the proxy towards a port; sets proxy_port.
start_cut_proxy() {  # target port, name of its output file
  local output="$work/$2"
  python3 "$root/scripts/windows/cut_proxy.py" "$1" "$cut_bytes" >"$output" 2>&1 &
  background_pids+=($!)
  proxy_port=""
  for _ in $(seq 1 50); do
    proxy_port="$(head -n 1 "$output" 2>/dev/null || true)"
    [ -n "$proxy_port" ] && return 0
    sleep 0.1
  done
  die "the cutting proxy did not start: $(cat "$output")"
}
# A cut transfer left large.bin's partial file, shorter than the file and with its time; sets
# partial_size.
partial_as_expected() {  # inbox
  local partial="$1/_incomplete_large.bin"
  partial_size=0
  [ -f "$partial" ] || return 1
  partial_size=$(stat -c %s "$partial")
  [ "$partial_size" -gt 0 ] && [ "$partial_size" -lt "$(stat -c %s "$outbox/large.bin")" ] &&
    [ "$(stat -c %.7Y "$partial")" = "$(stat -c %.7Y "$outbox/large.bin")" ]
}

# --- 0. The executables ----------------------------------------------------------------------
echo "== the executables"
# 32-bit, and nothing to install beside them: the system's own DLLs only.
only_system_dlls() {  # executable
  local headers dlls
  headers="$(i686-w64-mingw32-objdump -p "$1")" || return 1
  grep -q 'file format pei-i386$' <<<"$headers" && grep -qE '^Magic\s+010b' <<<"$headers" &&
    grep -qE '^Subsystem\s+00000003' <<<"$headers" || return 1
  dlls="$(awk '/DLL Name:/ { print toupper($3) }' <<<"$headers" | sort -u)"
  echo "  $(basename "$1"): $(echo $dlls)"
  [ -n "$dlls" ] && ! grep -qvxE 'KERNEL32\.DLL|MSVCRT\.DLL|WSOCK32\.DLL|ADVAPI32\.DLL' <<<"$dlls"
}
check "QuarvSvc.exe: a 32-bit console program that imports only system DLLs" \
  only_system_dlls "$win_svc_exe"
check "QuarvAgent.exe: a 32-bit console program that imports only system DLLs" \
  only_system_dlls "$win_agent_exe"

# --- 1. Started by hand ----------------------------------------------------------------------
echo "== QuarvSvc.exe started by hand"
wine_bounded "$(winpath "$tool_exe")" run "$(winpath "$work/win-service/QuarvSvc.exe")" \
  >"$work/by-hand.out" 2>"$work/by-hand.err" || true
check "started by hand it ends with exit code 1063 and prints nothing" \
  test "$(tr -d '\r' <"$work/by-hand.out")" = "EXIT_CODE 1063" -a ! -s "$work/by-hand.err"

# --- 2. Under the service control manager ----------------------------------------------------
echo "== QuarvSvc.exe as the service $service_name"
if [ -n "$(service_state)" ]; then
  # Left by an earlier run that could not clean up.
  wine_bounded sc stop "$service_name" >/dev/null 2>&1 || true
  wait_for_state STOPPED || true
  wine_bounded sc delete "$service_name" >/dev/null 2>&1 || true
fi
win_port="$(free_port)"
write_service_ini "$work/win-service" "$win_port" "$(winpath "$outbox")"
service_created=1
wine_bounded sc create "$service_name" \
  binPath= "$(winpath "$work/win-service/QuarvSvc.exe")" >"$work/sc.out" 2>&1 ||
  die "sc create: $(cat "$work/sc.out")"
wine_bounded sc start "$service_name" >"$work/sc.out" 2>&1 || die "sc start: $(cat "$work/sc.out")"
if wait_for_state RUNNING && wait_for_port "$win_port" open; then
  pass "sc start: the service reports RUNNING and serves its port"
else
  die "the service did not reach RUNNING on port $win_port: $(sc_query)"
fi

linux_agent "$win_port" "$work/in-linux-from-windows" 2 "$work/linux-from-windows.out" || true
check "the Linux agent fetched from the Windows service: same bytes and times" \
  same_as_outbox "$work/in-linux-from-windows"
check "the Linux agent reported success" contains "$work/linux-from-windows.out" "転送は成功しました。"

check "interrogate: RUNNING" test "$(tool interrogate "$service_name")" = "STATE 4 RUNNING"
check "pause: PAUSED" test "$(tool pause "$service_name")" = "STATE 7 PAUSED"
check "paused: the port is no longer served" wait_for_port "$win_port" closed
check "paused: sc query says PAUSED" test "$(service_state)" = PAUSED
check "pause again: still PAUSED" test "$(tool pause "$service_name")" = "STATE 7 PAUSED"
check "continue: RUNNING" test "$(tool continue "$service_name")" = "STATE 4 RUNNING"
check "continued: the port is served again" wait_for_port "$win_port" open
printf 'Written while the service was paused.\n' >"$outbox/after-pause.txt"
touch -d '2024-05-05 05:05:05.5' "$outbox/after-pause.txt"
linux_agent "$win_port" "$work/in-linux-from-windows" 2 "$work/after-continue.out" || true
check "continued: the Linux agent fetched the new file" \
  contains "$work/after-continue.out" "転送したファイルは 1個 です。"
check "continued: same bytes and times" same_as_outbox "$work/in-linux-from-windows"

# A file that a Windows program still has open for writing is not sent.
printf 'Still being written.\n' >"$outbox/being-written.log"
# (timeout itself in the background, so that its pid ends the program: it passes the signal on.)
timeout "$wine_timeout" wine "$(winpath "$tool_exe")" hold-open \
  "$(winpath "$outbox/being-written.log")" </dev/null >"$work/hold.out" 2>&1 &
holder_pid=$!
background_pids+=("$holder_pid")
for _ in $(seq 1 50); do
  grep -q '^HELD' "$work/hold.out" 2>/dev/null && break
  sleep 0.2
done
linux_agent "$win_port" "$work/in-linux-from-windows" 1 "$work/held.out" || true
check "a file open for writing elsewhere is refused with 409 and not fetched" \
  test "$(grep -c '409 Conflict' "$work/held.out")" = 1 -a \
  ! -e "$work/in-linux-from-windows/being-written.log"
kill -TERM "$holder_pid" 2>/dev/null || true
wait "$holder_pid" 2>/dev/null || true
linux_agent "$win_port" "$work/in-linux-from-windows" 1 "$work/released.out" || true
check "once closed, it is fetched" same_as_outbox "$work/in-linux-from-windows"

# --- 3 and 4. The Windows agent from the Linux service; its console bytes --------------------
echo "== the Windows agent and the Linux service"
linux_port="$(free_port)"
write_service_ini "$work/linux-service" "$linux_port" "$outbox"
"$work/linux-service/QuarvSvc" >"$work/linux-service.out" 2>&1 &
linux_service_pid=$!
background_pids+=("$linux_service_pid")
wait_for_port "$linux_port" open || die "the Linux service did not start on port $linux_port"

windows_agent "$linux_port" "$work/in-windows-from-linux" 2 "$work/windows-agent.out" || true
check "the Windows agent fetched from the Linux service: same bytes and times" \
  same_as_outbox "$work/in-windows-from-linux"
check "the Windows agent reported success (code page 932)" \
  contains_cp932 "$work/windows-agent.out" "転送は成功しました。"

linux_agent "$linux_port" "$work/in-linux-from-linux" 2 "$work/linux-agent.out" || true
check "the Linux agent fetched from the Linux service" same_as_outbox "$work/in-linux-from-linux"
# The same run against the same service: only the encoding may differ.
check "the Windows agent's output is the Linux agent's in code page 932, byte for byte" \
  same_console_bytes "$work/linux-agent.out" "$work/windows-agent.out"
check "the Windows agent's finished file is not hidden" \
  not_hidden_on_windows "$work/in-windows-from-linux/large.bin"
check "the Windows agent wrote nothing to standard error" test ! -s "$work/windows-agent.out.err"
# A refused login, with two tries: the failure messages too.
windows_agent "$linux_port" "$work/in-refused" 2 "$work/windows-refused.out" wrong-password || true
linux_agent "$linux_port" "$work/in-refused" 2 "$work/linux-refused.out" wrong-password || true
check "a refused login: the Linux agent says so" \
  contains "$work/linux-refused.out" "ログインに失敗しました。"
check "a refused login: the same messages in code page 932, byte for byte" \
  same_console_bytes "$work/linux-refused.out" "$work/windows-refused.out"

# --- 8. The Windows agent on a console -------------------------------------------------------
# With a terminal as its output, Wine gives the program a console whose host shows on the
# terminal, in the terminal's encoding (UTF-8 here), the characters that the program wrote. The
# locale is not Japanese, so the console's code page is not 932 either: code page 932 bytes
# written as they are would arrive garbled; only characters written as such read right.
echo "== the Windows agent on a console"
windows_agent_on_console() {  # port, inbox, tries, output
  mkdir -p "$2"
  write_agent_ini "$work/win-agent" "$1" "$(winpath "$2")" "$3"
  LC_ALL=C.UTF-8 SHELL=/bin/bash timeout 120 script -qec \
    "wine $(printf '%q' "$(winpath "$work/win-agent/QuarvAgent.exe")")" /dev/null \
    </dev/null >"$4" 2>&1
}
# What the terminal shows, without the console host's cursor and title sequences and the CRs, is
# the text expected.
terminal_shows() {  # terminal output, text expected
  sed -e 's/\x1b\][^\x07]*\x07//g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$1" | tr -d '\r' >"$1.text"
  cmp -s "$1.text" "$2" && return 0
  diff "$2" "$1.text" | head -20
  return 1
}
windows_agent_on_console "$linux_port" "$work/in-console" 2 "$work/console.out" || true
check "on a console: the Windows agent fetched from the Linux service" \
  same_as_outbox "$work/in-console"
# The Linux agent's output of the same run (section 3) is the text expected, character for
# character, progress marks included.
check "on a console: the terminal shows the Linux agent's text, Japanese included" \
  terminal_shows "$work/console.out" "$work/linux-agent.out"

# --- 6. The Windows agent on a Japanese system (ANSI code page 932) -------------------------
# Wine takes the ANSI code page from the locale: with ja_JP.UTF-8 the agent runs as on a Japanese
# Windows. A Linux service serving names in code page 932 stands in for a Japanese Windows
# service. Every name holds a double-byte character whose second byte is 0x5C (表, ソ): the
# agent's directory, its BASE (at the very end) and the file name, so that a backslash test that
# ignores double-byte characters would break each.
echo "== the Windows agent with the Japanese code page"
mkdir -p "$work/locale"
if localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >/dev/null 2>&1; then
  ja_outbox="$work/outbox-ja"
  ja_agent="$work/エージェント表"
  ja_inbox="$work/受信表"
  ja_name="表示ソフト.txt"
  mkdir -p "$ja_outbox" "$ja_agent" "$ja_inbox" "$work/linux-service-ja"
  ja_name_cp932="$(printf '%s' "$ja_name" | iconv -f UTF-8 -t CP932)"
  printf 'A file with a Japanese name.\n' >"$ja_outbox/$ja_name_cp932"
  touch -d '2024-02-02 02:02:02.2' "$ja_outbox/$ja_name_cp932"
  cp "$work/linux-service/QuarvSvc" "$work/linux-service-ja/"
  ja_port="$(free_port)"
  write_service_ini "$work/linux-service-ja" "$ja_port" "$ja_outbox"
  "$work/linux-service-ja/QuarvSvc" >/dev/null 2>&1 &
  background_pids+=($!)
  wait_for_port "$ja_port" open || die "the Linux service did not start on port $ja_port"
  cp "$work/win-agent/QuarvAgent.exe" "$ja_agent/"
  # A settings file on Windows is in the ANSI code page.
  write_agent_ini "$ja_agent" "$ja_port" "$(winpath "$ja_inbox")" 1
  iconv -f UTF-8 -t CP932 "$ja_agent/QuarvAgent.ini" >"$ja_agent/ini.cp932"
  mv "$ja_agent/ini.cp932" "$ja_agent/QuarvAgent.ini"
  LOCPATH="$work/locale" LC_ALL=ja_JP.UTF-8 timeout 120 wine "$(winpath "$ja_agent/QuarvAgent.exe")" \
    </dev/null >"$work/japanese.out" 2>&1 || true
  check "code page 932: the Windows agent fetched the Japanese name into its Japanese BASE" \
    cmp -s "$ja_outbox/$ja_name_cp932" "$ja_inbox/$ja_name"
  check "code page 932: with the service's time" \
    test "$(stat -c %.7Y "$ja_inbox/$ja_name" 2>/dev/null)" = "$(stat -c %.7Y "$ja_outbox/$ja_name_cp932")"
  check "code page 932: the console names the file in code page 932" \
    contains_cp932 "$work/japanese.out" "${ja_name}を転送します。"
  # The service's base prefix and the lead bytes, in the same code page.
  LOCPATH="$work/locale" LC_ALL=ja_JP.UTF-8 timeout "$wine_timeout" wine \
    "$(winpath "$windows_tests_exe")" --gtest_filter=Win32BasePrefixTest.CodePage932* \
    </dev/null 2>&1 | tr -d '\r' >"$work/japanese-prefix.out" || true
  check "code page 932: a BASE ending in a character whose second byte is 0x5C gets its backslash" \
    grep -qx '\[  PASSED  \] 1 test\.' "$work/japanese-prefix.out"
else
  echo "SKIP: no ja_JP locale could be made (localedef, Debian's locales package): not checked"
fi

# --- 5. Resume across the platforms ----------------------------------------------------------
echo "== resume across the platforms"
# The Linux agent's transfer from the Windows service is cut; the Windows agent resumes it from
# the Linux service.
start_cut_proxy "$win_port" proxy-1.out
linux_agent "$proxy_port" "$work/in-resume-1" 1 "$work/resume-1-cut.out" || true
check "cut (Linux agent, Windows service): a shorter partial file with the service's time" \
  partial_as_expected "$work/in-resume-1"
windows_agent "$linux_port" "$work/in-resume-1" 1 "$work/resume-1.out" || true
check "the Windows agent resumed the Linux agent's partial file from its length" \
  contains_cp932 "$work/resume-1.out" "位置、${partial_size},0から再開します。"
check "resumed by the Windows agent: same bytes and times" same_as_outbox "$work/in-resume-1"

# The Windows agent's transfer from the Linux service is cut; the Linux agent resumes it from
# the Windows service.
start_cut_proxy "$linux_port" proxy-2.out
windows_agent "$proxy_port" "$work/in-resume-2" 1 "$work/resume-2-cut.out" || true
check "cut (Windows agent, Linux service): a shorter partial file with the service's time" \
  partial_as_expected "$work/in-resume-2"
check "the Windows agent's partial file is hidden" \
  hidden_on_windows "$work/in-resume-2/_incomplete_large.bin"
linux_agent "$win_port" "$work/in-resume-2" 1 "$work/resume-2.out" || true
check "the Linux agent resumed the Windows agent's partial file from its length" \
  contains "$work/resume-2.out" "位置、${partial_size},0から再開します。"
check "resumed by the Linux agent: same bytes and times" same_as_outbox "$work/in-resume-2"

# --- 7. Windows to Windows, deleting on the service ------------------------------------------
echo "== the Windows agent and the Windows service, DELETEFILE=Yes"
cp -a "$outbox" "$work/outbox-before"
windows_agent "$win_port" "$work/in-windows-deleting" 1 "$work/windows-deleting.out" "" Yes ||
  true
check "the Windows agent fetched from the Windows service: same bytes and times" \
  same_as_outbox "$work/in-windows-deleting" "$work/outbox-before"
check "DELETEFILE=Yes: the service deleted every fetched file (the empty one stays)" \
  test "$(cd "$outbox" && echo *)" = "empty.log"

# --- 2, continued. Stop and delete -----------------------------------------------------------
echo "== stopping the service"
timeout "$wine_timeout" wine "$(winpath "$tool_exe")" wait-exit "$service_name" </dev/null \
  >"$work/exit.out" 2>&1 &
exit_watch_pid=$!
background_pids+=("$exit_watch_pid")
for _ in $(seq 1 50); do
  grep -q '^PROCESS' "$work/exit.out" 2>/dev/null && break
  sleep 0.2
done
# A session is open while the service stops.
exec {session}<>"/dev/tcp/127.0.0.1/$win_port"
printf 'HELO\r\n' >&"$session"
greeting=""
read -r -t 10 greeting <&"$session" || true
check "a session is open before the stop" test "${greeting:0:4}" = "200 "
wine_bounded sc stop "$service_name" >"$work/sc.out" 2>&1 || fail "sc stop: $(cat "$work/sc.out")"
if wait_for_state STOPPED; then
  check "sc stop: STOPPED with exit code 0" \
    test "$(sc_query | awk '$1 == "WIN32_EXIT_CODE" { print $3 }')" = 0
else
  fail "sc stop: the service did not reach STOPPED: $(sc_query)"
fi
check "the stop closed the open session" closed_by_peer "$session"
exec {session}<&-
wait "$exit_watch_pid" 2>/dev/null || true
check "the service's process ended with exit code 0" \
  grep -qx 'EXIT_CODE 0' <(tr -d '\r' <"$work/exit.out")
check "stopped: the port is no longer served" wait_for_port "$win_port" closed

# A service whose settings do not let it start stops with an error code (PORT 0: 1610).
write_service_ini "$work/win-service" 0 "$(winpath "$outbox")"
wine_bounded sc start "$service_name" >"$work/sc.out" 2>&1 || true
if wait_for_state STOPPED; then
  check "PORT 0: sc start ends in STOPPED with the error code 1610" \
    test "$(sc_query | awk '$1 == "WIN32_EXIT_CODE" { print $3 }')" = 1610
else
  fail "PORT 0: the service did not stop: $(sc_query)"
fi

# Without a password the service does not start: STOPPED with ERROR_SERVICE_SPECIFIC_ERROR and
# the service's own code 1, and the port is never served.
printf '[SERVER]\nADDRESS=127.0.0.1\nPORT=%s\nBASE=%s\n' "$win_port" "$(winpath "$outbox")" \
  >"$work/win-service/QuarvSvc.ini"
wine_bounded sc start "$service_name" >"$work/sc.out" 2>&1 || true
if wait_for_state STOPPED; then
  sc_query >"$work/no-password.query"
  check "no PASSWORD: sc start ends in STOPPED with 1066 and the service-specific code 1" \
    test "$(awk '$1 == "WIN32_EXIT_CODE" { print $3 }' "$work/no-password.query")" = 1066 -a \
    "$(awk '$1 == "SERVICE_EXIT_CODE" { print $3 }' "$work/no-password.query")" = 1
  check "no PASSWORD: the port is not served" eval '! port_open "$win_port"'
else
  fail "no PASSWORD: the service did not stop: $(sc_query)"
fi
write_service_ini "$work/win-service" "$win_port" "$(winpath "$outbox")"

# Started again, paused and stopped while paused.
wine_bounded sc start "$service_name" >"$work/sc.out" 2>&1 || fail "sc start: $(cat "$work/sc.out")"
check "started again: RUNNING" wait_for_state RUNNING
check "paused again: PAUSED" test "$(tool pause "$service_name")" = "STATE 7 PAUSED"
wine_bounded sc stop "$service_name" >"$work/sc.out" 2>&1 || fail "sc stop: $(cat "$work/sc.out")"
if wait_for_state STOPPED; then
  check "sc stop while paused: STOPPED with exit code 0" \
    test "$(sc_query | awk '$1 == "WIN32_EXIT_CODE" { print $3 }')" = 0
else
  fail "sc stop while paused: the service did not reach STOPPED: $(sc_query)"
fi

# Paused, its settings spoilt, continued: it cannot serve again, and stops with the error code
# rather than report RUNNING.
wine_bounded sc start "$service_name" >"$work/sc.out" 2>&1 || fail "sc start: $(cat "$work/sc.out")"
check "started once more: RUNNING and serving" \
  eval 'wait_for_state RUNNING && wait_for_port "$win_port" open'
check "paused once more: PAUSED" test "$(tool pause "$service_name")" = "STATE 7 PAUSED"
write_service_ini "$work/win-service" 0 "$(winpath "$outbox")"
tool continue "$service_name" >"$work/continue.out" || true
if wait_for_state STOPPED; then
  check "continue with PORT 0: STOPPED with the error code 1610, never RUNNING" \
    test "$(sc_query | awk '$1 == "WIN32_EXIT_CODE" { print $3 }')" = 1610 -a \
    "$(cat "$work/continue.out")" != "STATE 4 RUNNING"
else
  fail "continue with PORT 0: the service did not stop: $(sc_query)"
fi

if wine_bounded sc delete "$service_name" >"$work/sc.out" 2>&1 && [ -z "$(service_state)" ]; then
  service_created=0
  pass "sc delete: the service is gone"
else
  fail "sc delete: $(cat "$work/sc.out")"
fi

kill -TERM "$linux_service_pid" 2>/dev/null || true
wait "$linux_service_pid" 2>/dev/null || true

if [ "$failures" -ne 0 ]; then
  echo "windows system test: $failures check(s) FAILED"
  exit 1
fi
echo "windows system test: all checks passed"

#!/usr/bin/env bash
# An end-to-end transfer on this machine: builds QuarvSvc and QuarvAgent, serves a sample
# directory with QuarvSvc on 127.0.0.1, fetches it with QuarvAgent into another directory over
# TLS, shows that every file arrived with the same content and time, and stops the service again.
# TLS takes the three steps of every installation: start the service (its first start makes its
# certificate and key), copy the certificate's fingerprint from its log, put it in the agent's
# settings (FINGERPRINT=).
#
# Usage: scripts/demo.sh
# On Debian it first installs what the build needs when it is missing (apt-get; run as root or
# with sudo). QUARV_BUILD_DIR chooses the build directory (default: build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${QUARV_BUILD_DIR:-$root/build/release}"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# --- What the build needs ----------------------------------------------------------------------
. scripts/lib/apt.sh
ensure_packages cmake make g++

# --- Build -------------------------------------------------------------------------------------
say "Building QuarvSvc and QuarvAgent (release) in $build"
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target QuarvSvc QuarvAgent

# --- A place for both programs, removed at the end ---------------------------------------------
work="$(mktemp -d "${TMPDIR:-/tmp}/quarv-demo.XXXXXX")"
service_pid=""
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

service_dir="$work/service"      # QuarvSvc and its QuarvSvc.ini
agent_dir="$work/agent"          # QuarvAgent and its QuarvAgent.ini
outbox="$work/outbox"            # what the service serves
inbox="$work/inbox"              # where the agent puts what it fetches
mkdir -p "$service_dir" "$agent_dir" "$outbox" "$inbox"
cp "$build/service/QuarvSvc" "$service_dir/"
cp "$build/agent/QuarvAgent" "$agent_dir/"

say "Sample directory $outbox"
printf 'Quarv demo: a small text file.\n' >"$outbox/readme.txt"
printf '議事録\n2024年の報告です。\n' >"$outbox/報告書 2024.txt"
head -c $((2 * 1024 * 1024 + 123)) /dev/urandom >"$outbox/photo.jpg"
head -c $((300 * 1024 * 1024)) /dev/urandom >"$outbox/archive.bin"
: >"$outbox/empty.log"
touch -d '2024-03-01 09:15:30.1234567' "$outbox/readme.txt"
touch -d '2023-12-24 18:00:00' "$outbox/報告書 2024.txt"
touch -d '2024-07-14 12:34:56.5' "$outbox/photo.jpg"
touch -d '2024-01-02 03:04:05' "$outbox/empty.log"
ls -l --time-style=full-iso "$outbox"

# --- The service -------------------------------------------------------------------------------
password="demo-$RANDOM$RANDOM"
port_is_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# The service says in its log when it listens; a probe of the port would show up there as a
# session whose TLS handshake failed.
listening() { grep -q '^QuarvSvc: started: listening' "$work/service.log"; }
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  port_is_open "$port" && continue
  cat >"$service_dir/QuarvSvc.ini" <<EOF
[SERVER]
ADDRESS=127.0.0.1
PORT=$port
BASE=$outbox
PASSWORD=$password
TLS=Yes
EOF
  "$service_dir/QuarvSvc" >"$work/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 100); do
    listening && break
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
  done
  listening && break
  kill -TERM "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
done
if [ -z "$service_pid" ]; then
  echo "QuarvSvc did not start; its output:" >&2
  cat "$work/service.log" >&2
  exit 1
fi
say "TLS, step 1: QuarvSvc (pid $service_pid) serves $outbox on 127.0.0.1:$port"
sed "s/^PASSWORD=.*/PASSWORD=(hidden)/" "$service_dir/QuarvSvc.ini"
echo
echo "Its first start with TLS=Yes made a certificate and its key beside its settings"
echo "(CERTIFICATE and KEY left out: QuarvSvc.crt and QuarvSvc.key):"
grep -e 'TLS: made' -e 'fingerprint' "$work/service.log" || true
ls -l "$service_dir"

say "TLS, step 2: the fingerprint, copied from the service's log"
fingerprint=$(sed -n 's/.*TLS certificate SHA-256 fingerprint \([0-9A-F:]\{95\}\)$/\1/p' \
  "$work/service.log" | tail -n 1)
if [ -z "$fingerprint" ]; then
  echo "QuarvSvc logged no fingerprint; its output:" >&2
  cat "$work/service.log" >&2
  exit 1
fi
echo "$fingerprint"
if command -v openssl >/dev/null; then
  echo "(the same, as the SHA-256 of the certificate's DER bytes:"
  echo " $(openssl x509 -in "$service_dir/QuarvSvc.crt" -outform der | sha256sum | cut -d' ' -f1))"
fi

# --- The agent ---------------------------------------------------------------------------------
cat >"$agent_dir/QuarvAgent.ini" <<EOF
[AGENT]
HOST=127.0.0.1
PORT=$port
PASSWORD=$password
BASE=$inbox
TRY=3
CHECKFILETIME=Yes
DELETEFILE=No
TLS=Yes
FINGERPRINT=$fingerprint
EOF
say "TLS, step 3: the fingerprint in the agent's settings; QuarvAgent fetches into $inbox"
sed "s/^PASSWORD=.*/PASSWORD=(hidden)/" "$agent_dir/QuarvAgent.ini"
echo
start=$(date +%s.%N)
"$agent_dir/QuarvAgent"
end=$(date +%s.%N)
bytes=$(find "$inbox" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
awk -v b="$bytes" -v s="$start" -v e="$end" \
  'BEGIN { t = e - s; printf "\n(%.1f MB in %.2f s: %.0f MB/s)\n", b / 1e6, t, b / 1e6 / t }'

# --- Did everything arrive? ---------------------------------------------------------------------
say "Content (md5sum) and last-write time (stat) on both sides"
# Times travel in units of 100 ns, so they are compared to the 7th decimal of the second.
stamp() { date -u -d "@$(stat -c '%.7Y' "$1")" '+%Y-%m-%d %H:%M:%S.%N UTC' | sed 's/00 UTC$/ UTC/'; }
ok=1
while IFS= read -r -d '' source; do
  name="${source#"$outbox"/}"
  target="$inbox/$name"
  echo "$name"
  if [ ! -s "$source" ]; then
    if [ -e "$target" ]; then
      echo "  empty on the service, yet fetched: WRONG"
      ok=0
    else
      echo "  empty on the service: skipped, as it should be"
    fi
    continue
  fi
  if [ ! -e "$target" ]; then
    echo "  MISSING on the agent's side"
    ok=0
    continue
  fi
  sum_source=$(md5sum <"$source" | cut -d' ' -f1)
  sum_target=$(md5sum <"$target" | cut -d' ' -f1)
  time_source=$(stamp "$source")
  time_target=$(stamp "$target")
  verdict="same"
  if [ "$sum_source" != "$sum_target" ] || [ "$time_source" != "$time_target" ]; then
    verdict="DIFFERENT"
    ok=0
  fi
  printf '  service  %s  %s\n  agent    %s  %s  %s\n' \
    "$sum_source" "$time_source" "$sum_target" "$time_target" "$verdict"
done < <(find "$outbox" -type f -print0 | sort -z)
leftovers=$(find "$inbox" -name '_incomplete_*' | wc -l)
if [ "$leftovers" -ne 0 ]; then
  echo "partial files left behind: $leftovers"
  ok=0
fi

say "A second run finds everything present and transfers nothing"
"$agent_dir/QuarvAgent"

say "Stopping QuarvSvc"
kill -TERM "$service_pid"
wait "$service_pid" && echo "QuarvSvc ended with status 0" || echo "QuarvSvc ended with status $?"
service_pid=""

say "What the service logged (standard error): its certificate, the logins over TLS, LIST, GET"
cat "$work/service.log"

if [ "$ok" -eq 1 ]; then
  say "Done: every file arrived with the same content and last-write time."
else
  say "Something did not arrive as it should (see above)."
  exit 1
fi

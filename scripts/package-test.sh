#!/usr/bin/env bash
# The Debian package "quarv": builds it with CPack (release preset), checks its file list,
# control data and maintainer scripts, runs lintian when it can be installed, verifies the
# systemd units, then unpacks it into a scratch root (dpkg -x) and runs the unpacked programs
# against each other: the service refuses to start with the shipped settings (no password), the
# agent with its shipped settings asks for the service's fingerprint (TLS=Yes); then, with the
# shipped settings given a port, BASE and password, the three steps of TLS as an administrator
# takes them: start the service (its first start makes its certificate and key in
# /var/lib/quarv), copy the fingerprint from its log, put it in the agent's FINGERPRINT. The
# agent fetches a file over TLS, and the service's log tells the login and the GET. Then two
# sources at once, run the way quarvagent@a and quarvagent@b run them (each in a mount namespace
# of its own with its settings from /etc/quarv/agents mounted over the settings link): both fetch
# everything into their own BASE, neither takes itself for a second instance.
#
#   scripts/package-test.sh            (build directory: build/package)
#
# Environment: QUARV_PACKAGE_BUILD (the build directory), QUARV_WERROR (as for every preset),
# QUARV_PACKAGE_INSTALL=1 also installs the package on this machine with dpkg -i, starts the
# service by hand and removes the package again (root only; changes the machine: a user "quarv",
# /srv/quarv, /var/lib/quarv), checking that nothing of it keeps running.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${QUARV_PACKAGE_BUILD:-build/package}"
jobs="$(nproc 2>/dev/null || echo 2)"

work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then
    kill -KILL "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
pass() { echo "ok   $1"; }
fail() {
  echo "FAIL $1" >&2
  failures=$((failures + 1))
}
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
die() {
  echo "package test: $1" >&2
  exit 1
}

echo "== building the package in $build"
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target QuarvSvc QuarvAgent
(cd "$build" && cpack -G DEB >/dev/null) || die "cpack failed"
deb=$(ls -t "$build"/quarv_*.deb | head -n 1)
[ -f "$deb" ] || die "no package was made"
echo "== $deb"

echo "== file list and control data"
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 $7 $8 }' | sed 's|^\(\S*\) \S* \./|\1 /|' >"$work/list"
expect_entry() { grep -qxF -- "$1" "$work/list"; }
for entry in \
  "-rwxr-xr-x /usr/lib/quarv/QuarvSvc" "-rwxr-xr-x /usr/lib/quarv/QuarvAgent" \
  "-rw-r----- /etc/quarv/QuarvSvc.ini" "-rw-r----- /etc/quarv/QuarvAgent.ini" \
  "lrwxrwxrwx /usr/lib/quarv/QuarvSvc.ini->/etc/quarv/QuarvSvc.ini" \
  "lrwxrwxrwx /usr/lib/quarv/QuarvAgent.ini->/etc/quarv/QuarvAgent.ini" \
  "-rw-r--r-- /lib/systemd/system/quarvsvc.service" \
  "-rw-r--r-- /lib/systemd/system/quarvagent.service" \
  "-rw-r--r-- /lib/systemd/system/quarvagent.timer" \
  "-rw-r--r-- /lib/systemd/system/quarvagent@.service" \
  "-rw-r--r-- /lib/systemd/system/quarvagent@.timer" \
  "-rw-r--r-- /etc/quarv/agents/example.ini.sample" \
  "-rw-r--r-- /usr/share/doc/quarv/copyright" "-rw-r--r-- /usr/share/doc/quarv/README.md" \
  "-rw-r--r-- /usr/share/doc/quarv/changelog.gz"; do
  check "the package holds $entry" expect_entry "$entry"
done
check "every file belongs to root" test -z "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"
dpkg-deb -e "$deb" "$work/control"
check "the settings are conffiles" diff <(sort "$work/control/conffiles") \
  <(printf '/etc/quarv/QuarvAgent.ini\n/etc/quarv/QuarvSvc.ini\n/etc/quarv/agents/example.ini.sample\n')
check "it depends on adduser and the C++ runtime" \
  grep -Eq '^Depends:.*adduser.*|^Depends:.*libstdc\+\+.*adduser' "$work/control/control"
for script in postinst prerm postrm; do
  check "$script is executable and parses as a shell script" \
    sh -c "test -x \"$work/control/$script\" && sh -n \"$work/control/$script\""
done

if ! command -v lintian >/dev/null && [ "$(id -u)" = 0 ]; then
  timeout 600 scripts/lib/apt.sh lintian >/dev/null 2>&1 || true
fi
if command -v lintian >/dev/null; then
  echo "== lintian"
  lintian --fail-on error --suppress-tags no-manual-page "$deb" | tee "$work/lintian" || true
  check "lintian finds no error" test -z "$(grep '^E:' "$work/lintian" || true)"
else
  echo "== lintian is not available: skipped"
fi

echo "== unpacked into a scratch root"
scratch="$work/root"
dpkg-deb -x "$deb" "$scratch"
# The links beside the programs lead to /etc/quarv: here to the scratch root's.
for file in QuarvSvc.ini QuarvAgent.ini; do
  ln -sfn "$scratch/etc/quarv/$file" "$scratch/usr/lib/quarv/$file"
done
svc="$scratch/usr/lib/quarv/QuarvSvc"
agent="$scratch/usr/lib/quarv/QuarvAgent"

if ! command -v systemd-analyze >/dev/null && [ "$(id -u)" = 0 ]; then
  timeout 600 scripts/lib/apt.sh systemd >/dev/null 2>&1 || true
fi
if command -v systemd-analyze >/dev/null; then
  mkdir "$work/units"
  for unit in quarvsvc.service quarvagent.service quarvagent.timer quarvagent@.service \
    quarvagent@.timer; do
    sed "s|/usr/lib/quarv/|$scratch/usr/lib/quarv/|" "$scratch/lib/systemd/system/$unit" \
      >"$work/units/$unit"
  done
  # The templates through instances of theirs (systemd loads quarvagent@.service for them); an
  # unknown key or a bad value is only a warning, so the output must be empty too.
  verify_units() {
    systemd-analyze verify --man=no "$work/units/quarvsvc.service" \
      "$work/units/quarvagent.service" "$work/units/quarvagent.timer" \
      "$work/units/quarvagent@a.service" "$work/units/quarvagent@a.timer" >"$work/verify" 2>&1
    local status=$?
    cat "$work/verify"
    [ "$status" -eq 0 ] && [ ! -s "$work/verify" ]
  }
  check "systemd-analyze verify accepts the units and the templates, without a warning" verify_units
else
  echo "== systemd-analyze is not available: the units are not verified"
fi

# The settings as shipped: no password, so the service refuses to start (and ends by itself).
shipped_service="$scratch/etc/quarv/QuarvSvc.ini"
shipped_agent="$scratch/etc/quarv/QuarvAgent.ini"
check "the shipped settings have an empty PASSWORD" grep -qx 'PASSWORD=' "$shipped_service"
check "the shipped settings of both programs say TLS=Yes" \
  sh -c "grep -qx 'TLS=Yes' \"$shipped_service\" && grep -qx 'TLS=Yes' \"$shipped_agent\""
check "the shipped certificate and key lie in /var/lib/quarv" \
  sh -c "grep -qx 'CERTIFICATE=/var/lib/quarv/QuarvSvc.crt' \"$shipped_service\" &&
         grep -qx 'KEY=/var/lib/quarv/QuarvSvc.key' \"$shipped_service\""
check "the service's unit lets it write /var/lib/quarv" \
  grep -qx 'StateDirectory=quarv' "$scratch/lib/systemd/system/quarvsvc.service"
set +e
timeout 20 env -u NOTIFY_SOCKET "$svc" >"$work/refused.out" 2>"$work/refused.err"
status=$?
set -e
check "with the shipped settings the service does not start (it ended with $status)" \
  test "$status" -ne 124
check "and its log says why" grep -qi 'password' "$work/refused.err"
# The agent as shipped: TLS=Yes without a FINGERPRINT, so it says so and connects nowhere.
XDG_RUNTIME_DIR="$work" timeout 20 "$agent" >"$work/no-pin.out" 2>&1 || true
check "with the shipped settings the agent asks for the service's FINGERPRINT" \
  grep -q 'FINGERPRINTにサーバ証明書の' "$work/no-pin.out"
check "and connects nowhere" test -z "$(grep '接続しています' "$work/no-pin.out" || true)"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
password="package test $$"
mkdir "$work/outbox" "$work/inbox"
head -c 300000 /dev/urandom >"$work/outbox/payload.bin"
# The shipped service settings $1 with this test's port, address, BASE and password, into the
# file $2 (rewritten in place: its owner and mode stay); /var/lib/quarv in a path becomes
# $3/var/lib/quarv ($3 empty: as shipped). TLS, CERTIFICATE and KEY stay as shipped.
write_service_ini() {
  local text
  text=$(sed -e "s|^PORT=.*|PORT=$port|" -e "s|^ADDRESS=.*|ADDRESS=127.0.0.1|" \
    -e "s|^BASE=.*|BASE=$work/outbox|" -e "s|^PASSWORD=.*|PASSWORD=$password|" \
    -e "s|=/var/lib/quarv/|=$3/var/lib/quarv/|" "$1")
  printf '%s\n' "$text" >"$2"
}
# The fingerprint that the service's log $1 gives last (95 characters, AB:CD:...).
logged_fingerprint() {
  sed -n 's/.*TLS certificate SHA-256 fingerprint \([0-9A-F:]\{95\}\)$/\1/p' "$1" | tail -n 1
}
# Waits (at most 10 s) until the service listens.
wait_for_service() {
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.05
  done
}

echo "== TLS: start the service, copy the fingerprint from its log, put it in the agent's settings"
# /var/lib/quarv of the scratch root, as postinst makes it (dpkg -x runs no maintainer script).
state="$scratch/var/lib/quarv"
mkdir -p "$state"
chmod 0750 "$state"
write_service_ini "$shipped_service" "$shipped_service" "$scratch"
# 1. The service's first start makes its certificate and key.
env -u NOTIFY_SOCKET "$svc" >"$work/service.out" 2>"$work/service.err" &
service_pid=$!
wait_for_service
check "its first start made the certificate and its key in /var/lib/quarv" \
  grep -qF "TLS: made the certificate $state/QuarvSvc.crt (CN=" "$work/service.err"
check "the key is readable by the service's user only (mode 600)" \
  test "$(stat -c %a "$state/QuarvSvc.key" 2>/dev/null)" = 600
check "it started with TLS" grep -q "started: listening on 127.0.0.1:$port, BASE .*, TLS$" \
  "$work/service.err"
# 2. The fingerprint from its log.
fingerprint=$(logged_fingerprint "$work/service.err")
echo "     fingerprint from the log: $fingerprint"
check "its log gives the certificate's SHA-256 fingerprint" test -n "$fingerprint"
if command -v openssl >/dev/null; then
  der_digest=$(openssl x509 -in "$state/QuarvSvc.crt" -outform der | sha256sum | cut -d' ' -f1)
  check "that is the SHA-256 of the certificate's DER bytes (openssl x509 | sha256sum)" \
    test "$der_digest" = "$(printf '%s' "$fingerprint" | tr -d : | tr A-F a-f)"
fi
# 3. Into the agent's shipped settings, with this test's service, password and BASE.
agent_text=$(sed -e "s|^HOST=.*|HOST=127.0.0.1|" -e "s|^PORT=.*|PORT=$port|" \
  -e "s|^PASSWORD=.*|PASSWORD=$password|" -e "s|^BASE=.*|BASE=$work/inbox|" -e "s|^TRY=.*|TRY=2|" \
  -e "s|^FINGERPRINT=.*|FINGERPRINT=$fingerprint|" "$shipped_agent")
printf '%s\n' "$agent_text" >"$shipped_agent"
XDG_RUNTIME_DIR="$work" timeout 60 "$agent" >"$work/agent.out" 2>&1 || fail "the agent did not end in time"
check "the agent says it connected over TLS" grep -q 'TLSで接続しました（TLSv1\.[23] ' "$work/agent.out"
check "the unpacked agent fetched the file from the unpacked service" \
  cmp -s "$work/outbox/payload.bin" "$work/inbox/payload.bin"

echo "== two sources at once, run as quarvagent@a and quarvagent@b run them"
# Each instance of quarvagent@.service runs the agent, which takes no argument and reads the
# settings link beside its executable, in a mount namespace of its own with NAME.ini mounted
# read-only over that link (BindReadOnlyPaths=), as the same user for every source. Here: the
# source and destination of that line of the unit, in the scratch root, mounted with
# mount --bind in a namespace of unshare -m (a user namespace too when not root), the agents
# started together, both as this test's user, with one lock directory (the units' ~quarv/.quarv).
template="$scratch/lib/systemd/system/quarvagent@.service"
sample="$scratch/etc/quarv/agents/example.ini.sample"
bind_line=$(sed -n 's/^BindReadOnlyPaths=//p' "$template")
base_line=$(sed -n 's/^ReadWritePaths=//p' "$template")
check "the template mounts its source's settings over the settings link" \
  test "$bind_line" = "/etc/quarv/agents/%i.ini:/usr/lib/quarv/QuarvAgent.ini"
check "the example of a source's settings has the instance's BASE, TLS=Yes and no password" \
  sh -c "grep -qx 'BASE=${base_line//%i/NAME}' \"$sample\" && grep -qx 'TLS=Yes' \"$sample\" &&
         grep -qx 'PASSWORD=' \"$sample\""
check "and that BASE is what the template lets the agent write" \
  test "$base_line" = "/srv/quarv/inbox/%i"
unshare_args=(-m)
[ "$(id -u)" = 0 ] || unshare_args=(-r -m)
if ! unshare "${unshare_args[@]}" true 2>/dev/null; then
  echo "== no mount namespace can be made here (unshare ${unshare_args[*]}): skipped"
else
  head -c 200000 /dev/urandom >"$work/outbox/second.bin"
  mkdir -m 0700 "$work/runtime"
  # One run of quarvagent@$1 (its console text in $work/$1.out, its start and end in ns).
  run_instance() {
    local source=${bind_line%%:*} link=${bind_line#*:}
    source="$scratch${source//%i/$1}"
    date +%s%N >"$work/$1.start"
    XDG_RUNTIME_DIR="$work/runtime" timeout 60 unshare "${unshare_args[@]}" \
      sh -c 'mount --bind -o ro "$1" "$2" && exec "$3"' sh "$source" "$scratch$link" "$agent" \
      >"$work/$1.out" 2>&1 || echo "the run ended with $?" >>"$work/$1.out"
    date +%s%N >"$work/$1.end"
  }
  # The settings of each source from the example, as an administrator makes them: BASE as
  # shipped (its directory made in the scratch root), this test's service, RATE so that each
  # run takes about a second and the two overlap.
  for name in a b; do
    base="$scratch${base_line//%i/$name}"
    mkdir -p "$base"
    sed -e "s|^HOST=.*|HOST=127.0.0.1|" -e "s|^PORT=.*|PORT=$port|" \
      -e "s|^PASSWORD=.*|PASSWORD=$password|" -e "s|^BASE=/|BASE=$scratch/|" \
      -e "s|/NAME$|/$name|" -e "s|^TRY=.*|TRY=2|" -e "s|^; RATE=.*|RATE=480|" \
      -e "s|^FINGERPRINT=.*|FINGERPRINT=$fingerprint|" "$sample" \
      >"$scratch/etc/quarv/agents/$name.ini"
    chmod 0640 "$scratch/etc/quarv/agents/$name.ini"
  done
  run_instance a &
  first=$!
  run_instance b &
  second=$!
  wait "$first" "$second"
  for name in a b; do
    base="$scratch${base_line//%i/$name}"
    check "quarvagent@$name connected over TLS" grep -q 'TLSで接続しました' "$work/$name.out"
    check "quarvagent@$name fetched every file into its own BASE" \
      sh -c "cmp -s '$work/outbox/payload.bin' '$base/payload.bin' &&
             cmp -s '$work/outbox/second.bin' '$base/second.bin'"
    check "quarvagent@$name did not take itself for a second instance" \
      test -z "$(grep '２重起動' "$work/$name.out" || true)"
  done
  check "the two ran at the same time" test "$(cat "$work/a.start")" -lt "$(cat "$work/b.end")" \
    -a "$(cat "$work/b.start")" -lt "$(cat "$work/a.end")"
  check "each under a lock of its own BASE" \
    test "$(find "$work/runtime" -name 'ZelQuarvAgent-*.lock' | wc -l)" -eq 2
  check "the settings file beside the executable was left alone (nothing for BASE $work/inbox)" \
    sh -c "grep -qx 'BASE=$work/inbox' '$shipped_agent' && test ! -e '$work/inbox/second.bin'"
  check "no mount of theirs is left in this namespace" \
    test -z "$(grep -F "$scratch" /proc/self/mountinfo || true)"
  for name in a b; do
    echo "     quarvagent@$name ran from $((($(cat "$work/$name.start") - $(cat "$work/a.start")) / 1000000))" \
      "to $((($(cat "$work/$name.end") - $(cat "$work/a.start")) / 1000000)) ms: $(tail -n 1 "$work/$name.out")"
  done
fi
kill -TERM "$service_pid"
set +e
timeout 20 tail --pid="$service_pid" -f /dev/null
wait "$service_pid"
status=$?
set -e
service_pid=""
check "the service ended with 0 on SIGTERM" test "$status" -eq 0
check "its log names the login, over TLS" grep -q "login from 127.0.0.1:[0-9]* over TLSv1" \
  "$work/service.err"
check "its log names the GET" grep -q 'GET "payload.bin"' "$work/service.err"
check "its log never holds the password" test -z "$(grep -F "$password" "$work/service.err")"
check "the service printed nothing on standard output" test ! -s "$work/service.out"

if [ "${QUARV_PACKAGE_INSTALL:-0}" = 1 ]; then
  echo "== installed on this machine (dpkg -i), started by hand, removed"
  [ "$(id -u)" = 0 ] || die "QUARV_PACKAGE_INSTALL=1 needs root"
  dpkg -i "$deb" >/dev/null
  check "the user quarv exists" getent passwd quarv
  check "QuarvSvc.ini belongs to the group quarv, mode 640" \
    test "$(stat -c '%U:%G %a' /etc/quarv/QuarvSvc.ini)" = "root:quarv 640"
  write_service_ini /etc/quarv/QuarvSvc.ini /etc/quarv/QuarvSvc.ini ""
  setsid /usr/lib/quarv/QuarvSvc >/dev/null 2>&1 </dev/null &
  wait_for_service
  installed_running() { pgrep -f '^/usr/lib/quarv/QuarvSvc$' >/dev/null; }
  check "the installed service runs" installed_running
  check "it made its certificate and key in /var/lib/quarv" \
    test -s /var/lib/quarv/QuarvSvc.crt -a -s /var/lib/quarv/QuarvSvc.key
  DEBIAN_FRONTEND=noninteractive timeout 120 apt-get remove -y -qq quarv >/dev/null
  check "apt-get remove leaves no process behind" test -z "$(pgrep -f '^/usr/lib/quarv/' || true)"
  check "the conffiles stay after remove" test -f /etc/quarv/QuarvSvc.ini
  DEBIAN_FRONTEND=noninteractive timeout 120 apt-get purge -y -qq quarv >/dev/null
  check "purge removes the settings" test ! -e /etc/quarv
  check "and the certificate and key" \
    test ! -e /var/lib/quarv/QuarvSvc.crt -a ! -e /var/lib/quarv/QuarvSvc.key
fi

if [ "$failures" -ne 0 ]; then
  echo "package test: $failures check(s) failed" >&2
  exit 1
fi
echo "package test: all checks passed"

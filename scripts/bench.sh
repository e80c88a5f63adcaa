#!/usr/bin/env bash
# The benchmarks, measured in one run on this machine, so that only ratios of the same run are
# compared:
#
#   md5            our MD5 and OpenSSL's on 1 MiB blocks (bench/md5_bench.cpp)
#   ceiling        bench/ceiling.cpp: a reader+digest+sender and a receiver+digest+writer of a
#                  file over 127.0.0.1 without a protocol, in 10240-byte and in 240 KiB blocks;
#                  the faster of the two is the ceiling
#   rsync          rsync (Debian's package) in daemon mode on a loopback port: the big file with
#                  --checksum-choice=md5, the others with its defaults, the resume with --append
#                  (with its default checksum, and once more with md5)
#   quarv          the real QuarvSvc and QuarvAgent on 127.0.0.1: one file of 1 GiB, 1000 files
#                  of 100 KiB, 10000 files of 1 KiB (listing plus fetch), the resume of the
#                  second half of the 1 GiB file, and ten agents fetching at once (the service's
#                  peak memory with ten sessions streaming); and 100 files of 100 KiB with
#                  DELETEFILE=Yes against the same with DELETEFILE=No: what the sync of each
#                  fetched file before its DELE costs, with the DELE itself
#   per side       each program alone against a peer that does no work (bench/null_peers.cpp):
#                  the service sending the big file to a receiver that discards it, the agent
#                  fetching a body of the same size from a sender that serves it from memory;
#                  as MB/s and as a share of our MD5's speed on one core in the same run
#   delay line     with --rtt: the many-file figures (with DELETEFILE=No and =Yes) and the resume
#                  through bench/delay_line.cpp, a relay that adds a one-way delay of half the
#                  round trip to each direction, for Quarv and for the rsync daemon (moving with
#                  --remove-source-files --fsync: the same guarantee as DELETEFILE=Yes, the file
#                  is on stable storage before its source is removed); the loopback figures above
#                  are not run then
#
# Each figure is repeated, interleaved with the figures it is compared with; the best and the
# median repetition are printed, as MB/s or seconds, with the ratios to the ceiling and to rsync
# (speed ratios: above 1 is faster) and the peak RSS of both Quarv processes. One line per figure
# starting with "BENCH " is meant for machines. Every run writes to a fresh destination, and
# every source is read again just before a run, so that it comes from the page cache.
#
# Usage: scripts/bench.sh [--quick] [--repeat N] [--rtt [MS,MS,...]]
#   --quick      small data and two repetitions: a smoke check of the whole run (~30 s)
#   --repeat N   repetitions of each figure (default 5, quick 2)
#   --rtt LIST   the delay-line table at these round-trip times in milliseconds, comma-separated
#                (alone: 0,2,20,50). Moving 10000 files one round trip at a time takes a long
#                while at 50 ms: start with --quick.
# Environment: QUARV_BENCH_DIR       where the data go (default: $TMPDIR or /tmp; needs ~3 GiB)
#              QUARV_BENCH_JOBS      build jobs (default 2)
#              QUARV_BENCH_BUILD     the build directory of the bench preset (default build/bench)
#              QUARV_BENCH_PROGRAMS  a build directory whose service/QuarvSvc and
#                                    agent/QuarvAgent are measured instead of this tree's (an
#                                    older build, for a before-and-after table)
# On Debian it installs what it needs when it is missing (apt-get; run as root or with sudo).
# Exit status: 0 when every transfer arrived whole, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

quick=0
repeat=""
rtt_list="" # the round trips of the delay-line table, in ms; empty: the loopback figures
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --repeat)
      repeat="${2:?--repeat needs a number}"
      shift
      ;;
    --rtt)
      if [ $# -gt 1 ] && [ "${2#--}" = "$2" ]; then
        rtt_list="$2"
        shift
      else
        rtt_list="0,2,20,50"
      fi
      [[ "$rtt_list" =~ ^[0-9]+(\.[0-9]+)?(,[0-9]+(\.[0-9]+)?)*$ ]] || {
        echo "--rtt takes round trips in ms, comma-separated: $rtt_list" >&2
        exit 2
      }
      ;;
    *)
      echo "usage: $0 [--quick] [--repeat N] [--rtt [MS,MS,...]]" >&2
      exit 2
      ;;
  esac
  shift
done

mib=$((1024 * 1024))
if [ "$quick" -eq 1 ]; then
  big_size=$((128 * mib))
  medium_count=100
  small_count=1000
  ten_size=$((8 * mib))
  delete_count=20
  repeat="${repeat:-2}"
else
  big_size=$((1024 * mib))
  medium_count=1000
  small_count=10000
  ten_size=$((64 * mib))
  delete_count=100
  repeat="${repeat:-5}"
fi
medium_size=$((100 * 1024))
small_size=1024
small_block=10240
large_block=245760 # 24 blocks of 10240 bytes, as the agent receives

# --- What the run needs --------------------------------------------------------------------------
packages=()
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
command -v make >/dev/null 2>&1 || packages+=(make)
command -v g++ >/dev/null 2>&1 || packages+=(g++)
command -v rsync >/dev/null 2>&1 || packages+=(rsync)
[ -x /usr/bin/time ] || packages+=(time)
[ -f /usr/include/benchmark/benchmark.h ] || packages+=(libbenchmark-dev)
[ -f /usr/include/openssl/md5.h ] || packages+=(libssl-dev)
if [ ${#packages[@]} -gt 0 ]; then
  echo "Installing: ${packages[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${packages[@]}" >/dev/null
fi

# --- Build ---------------------------------------------------------------------------------------
echo "Building the bench preset..."
bin="${QUARV_BENCH_BUILD:-$root/build/bench}"
cmake --preset bench -B "$bin" >/dev/null
cmake --build "$bin" -j "${QUARV_BENCH_JOBS:-2}" >/dev/null
programs="${QUARV_BENCH_PROGRAMS:-$bin}"
for program in service/QuarvSvc agent/QuarvAgent; do
  [ -x "$programs/$program" ] || {
    echo "no $program in $programs" >&2
    exit 2
  }
done
[ "$programs" = "$bin" ] || echo "Measuring the programs of $programs"

# --- A place for everything, removed at the end --------------------------------------------------
work="$(mktemp -d "${QUARV_BENCH_DIR:-${TMPDIR:-/tmp}}/quarv-bench.XXXXXX")"
started=() # every process this script starts and has not stopped yet
stop_all() {
  local pid
  for pid in "${started[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  started=()
}
cleanup() {
  stop_all
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/src/big" "$work/src/medium" "$work/src/small" "$work/src/ten" "$work/src/delete" \
  "$work/delete-source" "$work/dst" "$work/log" "$work/run"
chmod 700 "$work/run" # the agent's single-instance lock lives here, away from other agents

# --- Data ----------------------------------------------------------------------------------------
echo "Making the data in $work..."
head -c "$big_size" /dev/urandom >"$work/src/big/big.bin"
head -c $((medium_count * medium_size)) /dev/urandom |
  split -b "$medium_size" -a 5 -d - "$work/src/medium/m"
head -c $((small_count * small_size)) /dev/urandom |
  split -b "$small_size" -a 5 -d - "$work/src/small/s"
for i in 0 1 2 3 4 5 6 7 8 9; do
  head -c "$ten_size" /dev/urandom >"$work/src/ten/t$i.bin"
done
# The files DELETEFILE=Yes deletes on the service are copied from here before each run.
head -c $((delete_count * medium_size)) /dev/urandom |
  split -b "$medium_size" -a 5 -d - "$work/delete-source/d"
half_size=$((big_size / 2))

# Reads the sources again, so that a run takes them from the page cache.
warm() { find "$@" -type f -exec cat {} + >/dev/null; }

# --- Servers on free loopback ports --------------------------------------------------------------
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Starts "$@" in the background with its port taken from $port, on a free port picked at random;
# sets server_pid and port. The command line may refer to $port through a function: $1 names a
# function that writes the settings for the port, the rest is the command.
start_server() {
  local configure="$1" log="$2"
  shift 2
  local attempt
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 40000))
    port_open "$port" && continue
    "$configure" "$port"
    env -u NOTIFY_SOCKET "$@" >"$log" 2>&1 &
    server_pid=$!
    started+=("$server_pid")
    local try
    for try in $(seq 100); do
      port_open "$port" && kill -0 "$server_pid" 2>/dev/null && return 0
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  done
  echo "could not start: $*" >&2
  cat "$log" >&2
  exit 1
}

password="bench-$RANDOM$RANDOM"
declare -A service_port service_pid
declare -A route # the port an agent connects to for a set, when not the service's own
rsync_route=""   # the port rsync connects to, when not the daemon's own
# With --rtt, two more sets: the many files again, to be moved with DELETEFILE=Yes and with
# rsync --remove-source-files (filled again from medium and small before each run).
move_sets=""
[ -z "$rtt_list" ] || move_sets="medium_move small_move"
for set in big medium small ten delete $move_sets; do
  mkdir -p "$work/src/$set"
  mkdir -p "$work/svc-$set"
  cp "$programs/service/QuarvSvc" "$work/svc-$set/"
  service_settings() {
    printf '[SERVER]\nADDRESS=127.0.0.1\nPORT=%s\nBASE=%s\nPASSWORD=%s\n' \
      "$1" "$work/src/$set" "$password" >"$work/svc-$set/QuarvSvc.ini"
  }
  start_server service_settings "$work/log/svc-$set.log" "$work/svc-$set/QuarvSvc"
  service_port[$set]=$port
  service_pid[$set]=$server_pid
done

rsync_settings() {
  {
    printf 'port = %s\naddress = 127.0.0.1\nuse chroot = no\n' "$1"
    printf 'pid file = %s\nlog file = %s\n' "$work/rsyncd.pid" "$work/log/rsyncd.log"
    # As root the daemon would read as nobody, who may not enter the work directory.
    [ "$(id -u)" -ne 0 ] || printf 'uid = 0\ngid = 0\n'
    for set in big medium small; do
      printf '[%s]\n  path = %s\n  read only = yes\n' "$set" "$work/src/$set"
    done
    for set in $move_sets; do # the sender removes what it sent
      printf '[%s]\n  path = %s\n  read only = no\n' "$set" "$work/src/$set"
    done
  } >"$work/rsyncd.conf"
}
start_server rsync_settings "$work/log/rsyncd.out" rsync --daemon --no-detach \
  --config="$work/rsyncd.conf"
rsync_port=$port

mkdir -p "$work/agent"
cp "$programs/agent/QuarvAgent" "$work/agent/"

# --- Measuring -----------------------------------------------------------------------------------
declare -A seconds agent_rss service_rss bytes_of
failures=0
# The seconds between two $EPOCHREALTIME readings.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
record() { seconds[$1]="${seconds[$1]:-} $2"; }
keep_max() { # keep_max ARRAY KEY VALUE
  local -n table="$1"
  [ -n "$3" ] || return 0
  if [ -z "${table[$2]:-}" ] || [ "$3" -gt "${table[$2]}" ]; then table[$2]="$3"; fi
}
fail() {
  echo "  FAILED: $*" >&2
  failures=$((failures + 1))
}
# Whether $1 holds exactly $2 files (no partial file among them) of $3 bytes in all.
check_arrived() {
  local count total
  count=$(find "$1" -maxdepth 1 -type f ! -name '_incomplete_*' | wc -l)
  total=$(find "$1" -maxdepth 1 -type f ! -name '_incomplete_*' -printf '%s\n' |
    awk '{ s += $1 } END { print s + 0 }')
  [ "$count" -eq "$2" ] && [ "$total" -eq "$3" ]
}

# run_quarv FIGURE SET DESTINATION [DELETEFILE]: one agent run against the service of SET.
run_quarv() {
  local figure="$1" set="$2" destination="$3" delete="${4:-No}" t0 t1
  local pid="${service_pid[$set]}"
  echo 5 >"/proc/$pid/clear_refs" 2>/dev/null || true # resets the service's peak RSS
  printf '[AGENT]\nHOST=127.0.0.1\nPORT=%s\nPASSWORD=%s\nBASE=%s\nTRY=1\nCHECKFILETIME=Yes\nDELETEFILE=%s\n' \
    "${route[$set]:-${service_port[$set]}}" "$password" "$destination" "$delete" \
    >"$work/agent/QuarvAgent.ini"
  t0=$EPOCHREALTIME
  XDG_RUNTIME_DIR="$work/run" /usr/bin/time -f '%M' -o "$work/agent.rss" \
    "$work/agent/QuarvAgent" >"$work/log/$figure.log" 2>&1 || true
  t1=$EPOCHREALTIME
  record "$figure" "$(elapsed "$t0" "$t1")"
  keep_max agent_rss "$figure" "$(tail -1 "$work/agent.rss")"
  keep_max service_rss "$figure" "$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")"
}

# run_rsync FIGURE SOURCE DESTINATION [OPTION...]
run_rsync() {
  local figure="$1" source="$2" destination="$3" t0 t1
  shift 3
  t0=$EPOCHREALTIME
  rsync -a "$@" "rsync://127.0.0.1:${rsync_route:-$rsync_port}/$source" "$destination/" \
    >"$work/log/$figure.log" 2>&1 || true
  t1=$EPOCHREALTIME
  record "$figure" "$(elapsed "$t0" "$t1")"
}

# run_ceiling FIGURE BLOCK DESTINATION
run_ceiling() {
  local figure="$1" block="$2" destination="$3" t0 t1
  t0=$EPOCHREALTIME
  "$bin/bench/quarv_ceiling" "$work/src/big/big.bin" "$destination/big.bin" "$block" \
    >"$work/log/$figure.log" 2>&1 || fail "$figure: $(cat "$work/log/$figure.log")"
  t1=$EPOCHREALTIME
  record "$figure" "$(elapsed "$t0" "$t1")"
}

fresh() { # a new, empty destination
  local dir="$work/dst/$1.$2"
  mkdir -p "$dir"
  echo "$dir"
}

echo "Load before the run: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

echo "MD5 on 1 MiB blocks..."
"$bin/bench/quarv_md5_bench" --benchmark_filter='/1048576' >"$work/log/md5.log" 2>&1
md5_line=$(grep '^md5 block=1MiB' "$work/log/md5.log")
md5_value() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<"$md5_line"; }

# Starts "$@" in the background, a program that prints "listening PORT" once it accepts
# connections; sets helper_port and helper_pid.
start_listening() {
  local out="$1"
  shift
  : >"$out" # there before the program starts, so that it can be read at once
  "$@" >"$out" 2>&1 &
  helper_pid=$!
  started+=("$helper_pid")
  for _ in $(seq 200); do
    helper_port=$(awk '/^listening / { print $2; exit }' "$out" || true)
    [ -z "$helper_port" ] || return 0
    kill -0 "$helper_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "could not start: $*" >&2
  cat "$out" >&2
  exit 1
}
stop_one() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Each side alone: the service against a receiver that discards, the agent against a sender
# that serves from memory; the same size as the big file.
measure_sides() {
  local rep dir out pid="${service_pid[big]}"
  echo "Each side alone against a null peer, $((big_size / mib)) MiB, $repeat times..."
  start_listening "$work/log/null-sender.out" "$bin/bench/quarv_null_peers" serve \
    --password "$password" --name big.bin --size "$big_size" --time-limit 7200
  service_port[null]=$helper_port
  service_pid[null]=$helper_pid
  for rep in $(seq "$repeat"); do
    warm "$work/src/big"
    out="$work/log/side_service.$rep.log"
    echo 5 >"/proc/$pid/clear_refs" 2>/dev/null || true
    # It reads and digests the file once before the clock starts, to check the digest it gets.
    "$bin/bench/quarv_null_peers" receive --port "${service_port[big]}" --password "$password" \
      --name big.bin --digest-of "$work/src/big/big.bin" --time-limit 600 >"$out" 2>&1 ||
      fail "side_service run $rep: $(cat "$out")"
    record side_service "$(sed -n 's/.* seconds=\([0-9.]*\) .*/\1/p' "$out")"
    keep_max service_rss side_service "$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")"
    dir=$(fresh side_agent "$rep")
    run_quarv side_agent null "$dir"
    unset 'service_rss[side_agent]' # the null sender's, not a Quarv process's
    check_arrived "$dir" 1 "$big_size" || fail "side_agent run $rep did not arrive whole"
    rm -rf "$dir"
  done
  stop_one "${service_pid[null]}"
}

# A move set's service directory, filled again from the set it copies.
refill() { cp "$work/src/${1%_move}/"* "$work/src/$1/"; }

# The many-file figures and the resume through the delay line, at each round trip of the list.
# Seconds are kept under FIGURE@RTT.
measure_delay_line() {
  local rtt delay rep set tool figure key dir count size pid lines
  for rtt in ${rtt_list//,/ }; do
    delay=$(awk -v r="$rtt" 'BEGIN { print r / 2 }')
    echo "Through the delay line at $rtt ms round trip ($delay ms each way), $repeat times..."
    "$bin/bench/quarv_delay_line" check --delay-ms "$delay" --bytes $((256 * mib)) \
      >"$work/log/delay-check.$rtt.log" 2>&1 || fail "delay line check at $rtt ms"
    lines=()
    for set in big medium small $move_sets; do
      start_listening "$work/log/delay-$set.$rtt.out" "$bin/bench/quarv_delay_line" relay \
        --target "${service_port[$set]}" --delay-ms "$delay" --time-limit 86400
      route[$set]=$helper_port
      lines+=("$helper_pid")
    done
    start_listening "$work/log/delay-rsync.$rtt.out" "$bin/bench/quarv_delay_line" relay \
      --target "$rsync_port" --delay-ms "$delay" --time-limit 86400
    rsync_route=$helper_port
    lines+=("$helper_pid")
    for rep in $(seq "$repeat"); do
      for set in medium small $move_sets; do
        count_var="${set%_move}_count" size_var="${set%_move}_size"
        count=${!count_var} size=${!size_var}
        bytes_of[$set]=$((count * size))
        for tool in rsync quarv; do
          figure="${tool}_$set"
          key="$figure@$rtt"
          dir=$(fresh "$figure.rtt$rtt" "$rep")
          [ "$set" = "${set%_move}" ] || refill "$set"
          warm "$work/src/$set"
          case "$tool/$set" in
            rsync/*_move) run_rsync "$key" "$set/" "$dir" --remove-source-files --fsync ;;
            rsync/*) run_rsync "$key" "$set/" "$dir" ;;
            quarv/*_move) run_quarv "$key" "$set" "$dir" Yes ;;
            quarv/*) run_quarv "$key" "$set" "$dir" ;;
          esac
          check_arrived "$dir" "$count" "$((count * size))" ||
            fail "$figure at $rtt ms run $rep did not arrive whole"
          if [ "$set" != "${set%_move}" ] && [ -n "$(ls -A "$work/src/$set")" ]; then
            fail "$figure at $rtt ms run $rep left files on the service"
            find "$work/src/$set" -type f -delete
          fi
          rm -rf "$dir"
        done
      done
      for figure in rsync_resume quarv_resume; do
        key="$figure@$rtt"
        dir=$(fresh "$figure.rtt$rtt" "$rep")
        if [ "$figure" = quarv_resume ]; then
          head -c "$half_size" "$work/src/big/big.bin" >"$dir/_incomplete_big.bin"
          touch -r "$work/src/big/big.bin" "$dir/_incomplete_big.bin"
        else
          head -c "$half_size" "$work/src/big/big.bin" >"$dir/big.bin"
        fi
        warm "$work/src/big"
        if [ "$figure" = quarv_resume ]; then
          run_quarv "$key" big "$dir"
          grep -q "から再開します" "$work/log/$key.log" ||
            fail "$figure at $rtt ms run $rep did not resume"
        else
          run_rsync "$key" big/big.bin "$dir" --append
        fi
        check_arrived "$dir" 1 "$big_size" || fail "$figure at $rtt ms run $rep did not arrive whole"
        rm -rf "$dir"
      done
    done
    for pid in "${lines[@]}"; do stop_one "$pid"; done
    route=()
    rsync_route=""
  done
}

# The loopback figures: the ceiling, rsync and Quarv on 127.0.0.1.
measure_loopback() {
  echo "One file of $((big_size / mib)) MiB: ceiling, rsync, Quarv, $repeat times..."
  bytes_of[big]=$big_size
  for rep in $(seq "$repeat"); do
    for figure in ceiling_small ceiling_large rsync_big quarv_big; do
      warm "$work/src/big"
      dir=$(fresh "$figure" "$rep")
      case "$figure" in
        ceiling_small) run_ceiling "$figure" "$small_block" "$dir" ;;
        ceiling_large) run_ceiling "$figure" "$large_block" "$dir" ;;
        rsync_big) run_rsync "$figure" big/big.bin "$dir" --checksum-choice=md5 ;;
        quarv_big) run_quarv "$figure" big "$dir" ;;
      esac
      check_arrived "$dir" 1 "$big_size" || fail "$figure run $rep did not arrive whole"
      rm -rf "$dir" # one large file: freed at once, before it is ever written back
    done
  done

  echo "Resume of the second half, $repeat times..."
  for rep in $(seq "$repeat"); do
    for figure in rsync_resume rsync_resume_md5 quarv_resume; do
      dir=$(fresh "$figure" "$rep")
      if [ "$figure" = quarv_resume ]; then
        # The partial file an interrupted run leaves: the first half, with the service's time.
        head -c "$half_size" "$work/src/big/big.bin" >"$dir/_incomplete_big.bin"
        touch -r "$work/src/big/big.bin" "$dir/_incomplete_big.bin"
      else
        head -c "$half_size" "$work/src/big/big.bin" >"$dir/big.bin"
      fi
      warm "$work/src/big"
      case "$figure" in
        rsync_resume) run_rsync "$figure" big/big.bin "$dir" --append ;;
        rsync_resume_md5) run_rsync "$figure" big/big.bin "$dir" --append --checksum-choice=md5 ;;
        quarv_resume)
          run_quarv "$figure" big "$dir"
          grep -q "から再開します" "$work/log/$figure.log" || fail "$figure run $rep did not resume"
          ;;
      esac
      check_arrived "$dir" 1 "$big_size" || fail "$figure run $rep did not arrive whole"
      rm -rf "$dir"
    done
  done

  # Many files: the destinations stay until the end (creating files right after deleting
  # thousands is many times slower for a while on some file systems).
  echo "$medium_count files of 100 KiB and $small_count files of 1 KiB, $repeat times..."
  for set in medium small; do
    count_var="${set}_count" size_var="${set}_size"
    count=${!count_var} size=${!size_var}
    bytes_of[$set]=$((count * size))
    for rep in $(seq "$repeat"); do
      for tool in rsync quarv; do
        figure="${tool}_$set"
        dir=$(fresh "$figure" "$rep")
        warm "$work/src/$set"
        if [ "$tool" = rsync ]; then
          run_rsync "$figure" "$set/" "$dir"
        else
          run_quarv "$figure" "$set" "$dir"
        fi
        check_arrived "$dir" "$count" "$((count * size))" ||
          fail "$figure run $rep did not arrive whole"
      done
    done
  done

  echo "$delete_count files of 100 KiB with DELETEFILE=No and =Yes, $repeat times..."
  bytes_of[delete]=$((delete_count * medium_size))
  for rep in $(seq "$repeat"); do
    cp "$work/delete-source/"* "$work/src/delete/"
    for figure in quarv_keep quarv_delete; do
      dir=$(fresh "$figure" "$rep")
      warm "$work/src/delete"
      if [ "$figure" = quarv_keep ]; then
        run_quarv "$figure" delete "$dir" No
      else
        run_quarv "$figure" delete "$dir" Yes
        [ -z "$(ls -A "$work/src/delete")" ] || fail "$figure run $rep left files on the service"
      fi
      check_arrived "$dir" "$delete_count" "${bytes_of[delete]}" ||
        fail "$figure run $rep did not arrive whole"
    done
  done

  echo "Ten agents at once, one file of $((ten_size / mib)) MiB each..."
  bytes_of[ten]=$((10 * ten_size))
  ten_pid="${service_pid[ten]}"
  for rep in $(seq "$repeat"); do
    warm "$work/src/ten"
    echo 5 >"/proc/$ten_pid/clear_refs" 2>/dev/null || true
    agents=()
    for i in 0 1 2 3 4 5 6 7 8 9; do
      a="$work/ten.$rep.$i"
      mkdir -p "$a/run" "$a/dst"
      chmod 700 "$a/run"
      cp "$programs/agent/QuarvAgent" "$a/"
      # Every other file is there already (any entry of the name counts without CHECKFILETIME),
      # so that each agent fetches its own.
      for j in 0 1 2 3 4 5 6 7 8 9; do [ "$j" -eq "$i" ] || : >"$a/dst/t$j.bin"; done
      printf '[AGENT]\nHOST=127.0.0.1\nPORT=%s\nPASSWORD=%s\nBASE=%s\nTRY=1\nCHECKFILETIME=No\nDELETEFILE=No\n' \
        "${service_port[ten]}" "$password" "$a/dst" >"$a/QuarvAgent.ini"
    done
    t0=$EPOCHREALTIME
    for i in 0 1 2 3 4 5 6 7 8 9; do
      a="$work/ten.$rep.$i"
      XDG_RUNTIME_DIR="$a/run" /usr/bin/time -f '%M' -o "$a/rss" "$a/QuarvAgent" >"$a/log" 2>&1 &
      agents+=($!)
      started+=($!)
    done
    for pid in "${agents[@]}"; do wait "$pid" || true; done
    t1=$EPOCHREALTIME
    record quarv_ten "$(elapsed "$t0" "$t1")"
    keep_max service_rss quarv_ten "$(awk '/^VmHWM/ { print $2 }' "/proc/$ten_pid/status")"
    for i in 0 1 2 3 4 5 6 7 8 9; do
      a="$work/ten.$rep.$i"
      keep_max agent_rss quarv_ten "$(tail -1 "$a/rss")"
      [ "$(stat -c %s "$a/dst/t$i.bin")" -eq "$ten_size" ] || fail "quarv_ten agent $i run $rep"
    done
    rm -rf "$work/ten.$rep".*
    sleep 1 # the sessions of this round give back their places
  done
}

measure_sides
if [ -z "$rtt_list" ]; then
  measure_loopback
else
  measure_delay_line
fi
stop_all
echo "Load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- Results -------------------------------------------------------------------------------------
best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

report_loopback() {
  # The ceiling: the faster of the two block sizes (by the best repetition).
  ceiling_figure=ceiling_small
  if awk -v a="$(best "${seconds[ceiling_large]}")" -v b="$(best "${seconds[ceiling_small]}")" \
    'BEGIN { exit !(a < b) }'; then
    ceiling_figure=ceiling_large
  fi
  ceiling_best=$(mbps "$big_size" "$(best "${seconds[$ceiling_figure]}")")
  ceiling_median=$(mbps "$big_size" "$(median "${seconds[$ceiling_figure]}")")

  echo
  echo "Results ($repeat repetitions each; best / median; ratios are speed ratios, above 1 is faster;"
  echo "the ceiling is $ceiling_figure at $ceiling_best MB/s best, $ceiling_median MB/s median)"
  printf '%-34s %21s %15s %15s %14s %15s\n' "figure" "best / median" "vs ceiling" "vs rsync" \
    "agent RSS" "service RSS"
  printf '%-34s %21s %15s %15s\n' "md5 ours, 1 MiB blocks" "$ours_best / $ours_median MB/s" "-" \
    "openssl $(ratio "$ours_best" "$openssl_best") / $(ratio "$ours_median" "$openssl_median")"
  printf '%-34s %21s\n' "md5 OpenSSL, 1 MiB blocks" "$openssl_best / $openssl_median MB/s"

  # report FIGURE LABEL BYTES PEER KIND: KIND "rate" prints MB/s, "time" seconds.
  report() {
    local figure="$1" label="$2" bytes="$3" peer="$4" kind="$5"
    local tb tm rb rmed cb cm pb pm shown vs_ceiling vs_peer
    tb=$(best "${seconds[$figure]}")
    tm=$(median "${seconds[$figure]}")
    rb=$(mbps "$bytes" "$tb")
    rmed=$(mbps "$bytes" "$tm")
    cb=$(ratio "$rb" "$ceiling_best")
    cm=$(ratio "$rmed" "$ceiling_median")
    if [ "$kind" = rate ]; then shown="$rb / $rmed MB/s"; else shown="$tb / $tm s"; fi
    vs_ceiling="$cb / $cm"
    vs_peer="-"
    local line="BENCH figure=$figure bytes=$bytes seconds_best=$tb seconds_median=$tm mbps_best=$rb mbps_median=$rmed ratio_ceiling_best=$cb ratio_ceiling_median=$cm"
    if [ -n "$peer" ]; then
      pb=$(best "${seconds[$peer]}")
      pm=$(median "${seconds[$peer]}")
      vs_peer="$(ratio "$pb" "$tb") / $(ratio "$pm" "$tm")"
      line+=" ratio_rsync_best=$(ratio "$pb" "$tb") ratio_rsync_median=$(ratio "$pm" "$tm")"
    fi
    local ar="${agent_rss[$figure]:-}" sr="${service_rss[$figure]:-}"
    [ -z "$ar" ] || line+=" agent_rss_kib=$ar"
    [ -z "$sr" ] || line+=" service_rss_kib=$sr"
    printf '%-34s %21s %15s %15s %14s %15s\n' "$label" "$shown" "$vs_ceiling" "$vs_peer" \
      "${ar:+$ar KiB}" "${sr:+$sr KiB}"
    machine+=("$line")
  }
  big_mib=$((big_size / mib))
  report ceiling_small "ceiling, 10240-byte blocks" "$big_size" "" rate
  report ceiling_large "ceiling, 240 KiB blocks" "$big_size" "" rate
  report rsync_big "rsync md5, 1 file of $big_mib MiB" "$big_size" "" rate
  report quarv_big "Quarv, 1 file of $big_mib MiB" "$big_size" rsync_big rate
  report rsync_resume "rsync --append, second half" "$half_size" "" time
  report rsync_resume_md5 "rsync --append md5, second half" "$half_size" "" time
  report quarv_resume "Quarv resume, second half" "$half_size" rsync_resume time
  # The same figure against the peer that digests with MD5 too: added to its line.
  resume_md5_best=$(ratio "$(best "${seconds[rsync_resume_md5]}")" "$(best "${seconds[quarv_resume]}")")
  resume_md5_median=$(ratio "$(median "${seconds[rsync_resume_md5]}")" \
    "$(median "${seconds[quarv_resume]}")")
  printf '%-34s %21s %15s %15s\n' "  against rsync --append md5" "" "" \
    "$resume_md5_best / $resume_md5_median"
  machine[${#machine[@]} - 1]+=" ratio_rsync_md5_best=$resume_md5_best ratio_rsync_md5_median=$resume_md5_median"
  report rsync_medium "rsync, $medium_count x 100 KiB" "${bytes_of[medium]}" "" time
  report quarv_medium "Quarv, $medium_count x 100 KiB" "${bytes_of[medium]}" rsync_medium time
  report rsync_small "rsync, $small_count x 1 KiB" "${bytes_of[small]}" "" time
  report quarv_small "Quarv, $small_count x 1 KiB" "${bytes_of[small]}" rsync_small time
  report quarv_ten "Quarv, 10 agents at once" "${bytes_of[ten]}" "" rate
  report quarv_keep "Quarv, $delete_count x 100 KiB, kept" "${bytes_of[delete]}" "" time
  report quarv_delete "Quarv, the same with DELETEFILE=Yes" "${bytes_of[delete]}" "" time

  # The resume against half of a whole transfer: 1 means it costs only the remaining bytes.
  resume_share=$(awk -v r="$(best "${seconds[quarv_resume]}")" \
    -v w="$(best "${seconds[quarv_big]}")" 'BEGIN { printf "%.2f", r / (w / 2) }')
  echo
  echo "Quarv resume of the second half takes $resume_share times half of a whole transfer (best)."
  machine+=("BENCH figure=quarv_resume_share value=$resume_share")
  # DELETEFILE=Yes: the sync of every fetched file and its directory entry and the DELE (no more
  # than the next file's request goes ahead of a DELE), per file over the same run without
  # deleting.
  delete_cost=$(awk -v d="$(median "${seconds[quarv_delete]}")" -v k="$(median "${seconds[quarv_keep]}")" \
    -v n="$delete_count" 'BEGIN { printf "%.2f", (d - k) * 1000 / n }')
  echo "DELETEFILE=Yes costs $delete_cost ms more per file (median): the sync before each DELE and the DELE, each file in its own round trip."
  machine+=("BENCH figure=quarv_delete_cost unit=ms/file value=$delete_cost")
}
# report_rtt FIGURE RTT LABEL BYTES [PEER]: one figure of the delay-line table, in seconds.
report_rtt() {
  local figure="$1" rtt="$2" label="$3" bytes="$4" peer="${5:-}" key="$1@$2"
  local tb tm vs_peer="-" pb pm ar sr
  tb=$(best "${seconds[$key]:-}")
  tm=$(median "${seconds[$key]:-}")
  [ -n "$tb" ] || return 0
  local line
  line="BENCH figure=$figure rtt_ms=$rtt bytes=$bytes seconds_best=$tb seconds_median=$tm mbps_best=$(mbps "$bytes" "$tb") mbps_median=$(mbps "$bytes" "$tm")"
  if [ -n "$peer" ]; then
    pb=$(best "${seconds[$peer@$rtt]}")
    pm=$(median "${seconds[$peer@$rtt]}")
    vs_peer="$(ratio "$pb" "$tb") / $(ratio "$pm" "$tm")"
    line+=" ratio_rsync_best=$(ratio "$pb" "$tb") ratio_rsync_median=$(ratio "$pm" "$tm")"
  fi
  ar="${agent_rss[$key]:-}" sr="${service_rss[$key]:-}"
  [ -z "$ar" ] || line+=" agent_rss_kib=$ar"
  [ -z "$sr" ] || line+=" service_rss_kib=$sr"
  printf '%6s %-44s %21s %15s %14s %15s\n' "$rtt" "$label" "$tb / $tm s" "$vs_peer" \
    "${ar:+$ar KiB}" "${sr:+$sr KiB}"
  machine+=("$line")
}

report_delay_line() {
  local rtt check set label
  echo
  echo "Through the delay line ($repeat repetitions each; best / median seconds; vs rsync is rsync's"
  echo "time over Quarv's, above 1 is faster; moving is DELETEFILE=Yes against rsync"
  echo "--remove-source-files --fsync)"
  printf '%6s %-44s %21s %15s %14s %15s\n' "rtt ms" "figure" "best / median" "vs rsync" \
    "agent RSS" "service RSS"
  for rtt in ${rtt_list//,/ }; do
    check=$(grep '^delay_line_check figure=rtt' "$work/log/delay-check.$rtt.log" || true)
    printf '%6s %-44s %21s\n' "$rtt" "delay line: measured round trip / asked" \
      "$(sed -n 's/.*rtt_median_ms=\([0-9.]*\).*/\1/p' <<<"$check") ms / $rtt ms"
    machine+=("BENCH figure=delay_line rtt_ms=$rtt $(sed 's/^delay_line_check figure=rtt //' <<<"$check") $(grep '^delay_line_check figure=throughput' "$work/log/delay-check.$rtt.log" | sed 's/^delay_line_check figure=throughput //; s/ ok=/ throughput_ok=/')")
    for set in medium small $move_sets; do
      count_var="${set%_move}_count"
      label="${!count_var} x $([ "${set%_move}" = medium ] && echo "100 KiB" || echo "1 KiB")"
      [ "$set" = "${set%_move}" ] || label+=", moved"
      report_rtt "rsync_$set" "$rtt" "rsync, $label" "${bytes_of[$set]}"
      report_rtt "quarv_$set" "$rtt" "Quarv, $label" "${bytes_of[$set]}" "rsync_$set"
    done
    report_rtt rsync_resume "$rtt" "rsync --append, second half" "$half_size"
    report_rtt quarv_resume "$rtt" "Quarv resume, second half" "$half_size" rsync_resume
  done
}

# side_line FIGURE LABEL: one side alone, as MB/s and as a share of our MD5's speed.
side_line() {
  local tb tm rb rmed ar sr
  tb=$(best "${seconds[$1]:-}")
  tm=$(median "${seconds[$1]:-}")
  [ -n "$tb" ] || return 0
  rb=$(mbps "$big_size" "$tb")
  rmed=$(mbps "$big_size" "$tm")
  ar="${agent_rss[$1]:-}" sr="${service_rss[$1]:-}"
  printf '%-44s %21s %15s %14s %15s\n' "$2" "$rb / $rmed MB/s" \
    "$(ratio "$rb" "$ours_best") / $(ratio "$rmed" "$ours_median")" "${ar:+$ar KiB}" "${sr:+$sr KiB}"
  machine+=("BENCH figure=$1 bytes=$big_size seconds_best=$tb seconds_median=$tm mbps_best=$rb mbps_median=$rmed ratio_md5_best=$(ratio "$rb" "$ours_best") ratio_md5_median=$(ratio "$rmed" "$ours_median")${ar:+ agent_rss_kib=$ar}${sr:+ service_rss_kib=$sr}")
}

report_sides() {
  echo
  echo "Each side alone against a null peer ($repeat repetitions; best / median; vs MD5 is the"
  echo "share of our MD5's speed on one core in this run, $ours_best / $ours_median MB/s)"
  printf '%-44s %21s %15s %14s %15s\n' "figure" "best / median" "vs MD5" "agent RSS" "service RSS"
  side_line side_service "service sending $((big_size / mib)) MiB, receiver discards"
  side_line side_agent "agent fetching $((big_size / mib)) MiB, sender from memory"
}

machine=()
ours_best=$(md5_value ours_best)
ours_median=$(md5_value ours_median)
openssl_best=$(md5_value openssl_best)
openssl_median=$(md5_value openssl_median)
machine+=("BENCH figure=md5_ours unit=MB/s best=$ours_best median=$ours_median ratio_openssl_best=$(ratio "$ours_best" "$openssl_best") ratio_openssl_median=$(ratio "$ours_median" "$openssl_median")")
machine+=("BENCH figure=md5_openssl unit=MB/s best=$openssl_best median=$openssl_median")
if [ -z "$rtt_list" ]; then
  report_loopback
else
  report_delay_line
fi
report_sides
echo
printf '%s\n' "${machine[@]}"

if [ "$failures" -ne 0 ]; then
  echo "$failures transfer(s) did not arrive whole (see above)" >&2
  exit 1
fi

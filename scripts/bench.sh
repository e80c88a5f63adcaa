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
#
# Each figure is repeated, interleaved with the figures it is compared with; the best and the
# median repetition are printed, as MB/s or seconds, with the ratios to the ceiling and to rsync
# (speed ratios: above 1 is faster) and the peak RSS of both Quarv processes. One line per figure
# starting with "BENCH " is meant for machines. Every run writes to a fresh destination, and
# every source is read again just before a run, so that it comes from the page cache.
#
# Usage: scripts/bench.sh [--quick] [--repeat N]
#   --quick      small data and two repetitions: a smoke check of the whole run (~30 s)
#   --repeat N   repetitions of each figure (default 5, quick 2)
# Environment: QUARV_BENCH_DIR       where the data go (default: $TMPDIR or /tmp; needs ~3 GiB)
#              QUARV_BENCH_JOBS      build jobs (default 2)
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
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --repeat)
      repeat="${2:?--repeat needs a number}"
      shift
      ;;
    *)
      echo "usage: $0 [--quick] [--repeat N]" >&2
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
cmake --preset bench >/dev/null
cmake --build --preset bench -j "${QUARV_BENCH_JOBS:-2}" >/dev/null
bin="$root/build/bench"
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
for set in big medium small ten delete; do
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
    "${service_port[$set]}" "$password" "$destination" "$delete" >"$work/agent/QuarvAgent.ini"
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
  rsync -a "$@" "rsync://127.0.0.1:$rsync_port/$source" "$destination/" \
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
stop_all
echo "Load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- Results -------------------------------------------------------------------------------------
best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

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
machine=()
ours_best=$(md5_value ours_best)
ours_median=$(md5_value ours_median)
openssl_best=$(md5_value openssl_best)
openssl_median=$(md5_value openssl_median)
printf '%-34s %21s %15s %15s\n' "md5 ours, 1 MiB blocks" "$ours_best / $ours_median MB/s" "-" \
  "openssl $(ratio "$ours_best" "$openssl_best") / $(ratio "$ours_median" "$openssl_median")"
printf '%-34s %21s\n' "md5 OpenSSL, 1 MiB blocks" "$openssl_best / $openssl_median MB/s"
machine+=("BENCH figure=md5_ours unit=MB/s best=$ours_best median=$ours_median ratio_openssl_best=$(ratio "$ours_best" "$openssl_best") ratio_openssl_median=$(ratio "$ours_median" "$openssl_median")")
machine+=("BENCH figure=md5_openssl unit=MB/s best=$openssl_best median=$openssl_median")

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
# DELETEFILE=Yes: the sync of every fetched file and its directory entry, the DELE, and each file
# in lock step (no request goes ahead of a DELE), per file over the same run without deleting.
delete_cost=$(awk -v d="$(median "${seconds[quarv_delete]}")" -v k="$(median "${seconds[quarv_keep]}")" \
  -v n="$delete_count" 'BEGIN { printf "%.2f", (d - k) * 1000 / n }')
echo "DELETEFILE=Yes costs $delete_cost ms more per file (median): the sync before each DELE, the DELE, no request ahead."
machine+=("BENCH figure=quarv_delete_cost unit=ms/file value=$delete_cost")
echo
printf '%s\n' "${machine[@]}"

if [ "$failures" -ne 0 ]; then
  echo "$failures transfer(s) did not arrive whole (see above)" >&2
  exit 1
fi

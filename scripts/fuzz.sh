#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a number of seconds, one
# worker each, starting from the corpus in fuzz/corpus/<target>. New inputs the fuzzer finds are
# kept in build/fuzz/corpus/<target> (not in the repository); a crash, a sanitizer report or a
# hang leaves its input in build/fuzz/artifacts/ and makes the script fail.
# Usage: scripts/fuzz.sh SECONDS [target ...]   (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:?usage: scripts/fuzz.sh SECONDS [target ...]}"
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(session_fuzz agent_reply_fuzz settings_fuzz)

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

out=build/fuzz
mkdir -p "$out/artifacts"
status=0
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target"
  echo "== fuzzing $target for ${seconds}s"
  log="$out/$target.log"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$out/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
      "$out/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "$target: FAILED (see $log)"
    tail -n 40 "$log"
    status=1
    continue
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "$target: $runs executions, no finding"
done
exit $status

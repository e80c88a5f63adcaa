#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over the project's own C++ files, using the
# compile commands of the default preset. The checks listed under WarningsAsErrors fail the run;
# the others only warn.
# Usage: scripts/check-tidy.sh [--tests] [BUILD_DIR]
#   --tests    the test suites too (four times slower, and not clean yet: CI leaves them out);
#              default: common/, service/, agent/, platform/linux/
#   BUILD_DIR  a build directory of the default preset (default build/default; configured here
#              when it has no compile_commands.json yet)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/apt.sh
command -v run-clang-tidy >/dev/null || ensure_packages clang-tidy

folders="common|service|agent|platform/linux"
if [ "${1:-}" = --tests ]; then
  folders+="|tests"
  shift
fi
build="${1:-build/default}"
[ -f "$build/compile_commands.json" ] || cmake --preset default -B "$build" >/dev/null
count=$(grep -cE "\"file\": \"$(pwd)/($folders)/" "$build/compile_commands.json" || true)
if [ "$count" -eq 0 ]; then
  echo "tidy: no file of $(pwd) in $build/compile_commands.json" >&2
  exit 1
fi
echo "tidy: $count files"

# -Wno-unknown-warning-option: the build's compiler is GCC, whose warning options clang does not
# all know. Only the findings are shown: not the colours, the command lines and the counts of
# warnings suppressed in the system headers.
run-clang-tidy -p "$build" -j "$(nproc 2>/dev/null || echo 2)" -quiet \
  -extra-arg=-Wno-unknown-warning-option "^$(pwd)/($folders)/" 2>&1 |
  sed -e 's/\x1b\[[0-9;]*m//g' -e '/^clang-tidy[-0-9]* /d' -e '/^[0-9]* warnings\? generated\.$/d' \
    -e '/^Suppressed [0-9]* warnings/d' -e '/^Use -header-filter=/d' -e '/^Running clang-tidy/d'
echo "tidy: no finding of a check that counts as an error"

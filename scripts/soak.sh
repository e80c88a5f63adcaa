#!/usr/bin/env bash
# The fault-injection soak: the fault suite's scenario run with many faults (cuts, stalls,
# corrupted bytes, killed agent, killed and restarted service, failing local writes) against
# the real QuarvSvc and QuarvAgent. Prints the counts: faults injected, re-runs, files verified,
# bytes lost (which must be 0).
# Usage: scripts/soak.sh [FAULTS] [SEED]   (default: 1000 faults, a seed from the clock)
#        QUARV_BUILD_DIR=build/... picks another build tree (default: the default preset's)
set -euo pipefail
cd "$(dirname "$0")/.."
faults="${1:-1000}"
seed="${2:-$(date +%s)}"
build="${QUARV_BUILD_DIR:-build/default}"

if [ -z "${QUARV_BUILD_DIR:-}" ]; then
  scripts/install-deps.sh
  cmake --preset default >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
  --target quarv_fault_tests QuarvSvc QuarvAgent >/dev/null
QUARV_FAULTS="$faults" QUARV_FAULT_SEED="$seed" \
  "$build/tests/quarv_fault_tests" --gtest_filter='FaultInjection.*' --gtest_brief=1

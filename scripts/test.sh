#!/usr/bin/env bash
# Builds Quarv and runs every test suite. On Debian it first installs what is missing.
# Usage: scripts/test.sh [preset]   (default: the "default" preset; also "asan", "tsan")
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

scripts/install-deps.sh

jobs="$(nproc 2>/dev/null || echo 2)"
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs"

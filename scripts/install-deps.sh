#!/usr/bin/env bash
# Installs the Debian packages that building and testing Quarv need, when they are missing.
# Usage: scripts/install-deps.sh [MORE PACKAGES...]
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/lib/apt.sh"

ensure_packages cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev \
  g++-mingw-w64-i686-posix clang libclang-rt-14-dev "$@"

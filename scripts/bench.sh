#!/usr/bin/env bash
# The benchmark command under its shell name: installs Python 3 when it is missing, then hands
# every flag to scripts/bench.py.
set -euo pipefail
here="$(dirname "$0")"
"$here/lib/apt.sh" python3
exec python3 "$here/bench.py" "$@"

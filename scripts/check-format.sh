#!/usr/bin/env bash
# Checks that every C++ file of the project is formatted as the repository's .clang-format says.
# Prints the difference for each file that is not, and fails then; changes nothing.
# Usage: scripts/check-format.sh [FILE...]   (default: every .cpp and .h file in git, new ones too)
# Fix a file with: clang-format -i FILE
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/apt.sh
command -v clang-format >/dev/null || ensure_packages clang-format

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' |
    while IFS= read -r file; do [ -f "$file" ] && echo "$file"; done)
fi
differing=0
for file in "${files[@]}"; do
  if ! clang-format --style=file "$file" | diff -u --label "$file" --label "$file (formatted)" \
    "$file" -; then
    differing=$((differing + 1))
  fi
done
if [ "$differing" -ne 0 ]; then
  echo "format: $differing of ${#files[@]} file(s) differ from .clang-format (clang-format -i FILE)"
  exit 1
fi
echo "format: all ${#files[@]} files as .clang-format says"

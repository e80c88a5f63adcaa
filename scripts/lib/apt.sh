#!/usr/bin/env bash
# Installs Debian packages when they are missing, with apt-get (as root, or through sudo).
#
# Sourced:  . scripts/lib/apt.sh; ensure_packages cmake g++ ...
# Run:      scripts/lib/apt.sh cmake g++ ...      (for programs in other languages)
#
# A package named PACKAGE:i386 enables the i386 architecture first. Nothing is printed when
# every package is there; otherwise one line says what is installed, and apt-get's own output is
# shown only when it fails.

# Whether the Debian package is installed.
package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

ensure_packages() {
  local missing=() package sudo="" log status=0
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  for package in "${missing[@]}"; do
    if [[ "$package" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      $sudo dpkg --add-architecture i386
    fi
  done
  echo "Installing: ${missing[*]}"
  log="$(mktemp)"
  { $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"; } >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    echo "installing ${missing[*]} failed" >&2
  fi
  rm -f "$log"
  return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  ensure_packages "$@"
fi

#!/usr/bin/env bash
# Builds OpenSSL's static libraries for the 32-bit Windows build, once, from Debian's own source
# package of openssl (the version apt-get source offers), with the same MinGW-w64 posix-threads
# compiler as cmake/mingw32-toolchain.cmake. Only the headers and the static libraries are
# installed: the executables link them in and ship no OpenSSL DLL.
#
#   scripts/openssl-mingw.sh
#
# Steps: deb-src entries for the Debian archive the machine uses (added only when apt has no
# source index yet, and only then apt-get update); nothing more when the cache already holds a
# complete build of the newest version apt offers; otherwise the build tools (apt-get, when
# missing), apt-get source into a scratch directory (an older version when the archive lacks the
# newest one's files), OpenSSL's own `mingw` configuration, `make build_libs` and
# `make install_dev`, and a stamp written last. The cache's path is printed at the end.
#
# Environment:
#   QUARV_OPENSSL_MINGW  where the libraries go (default $HOME/.cache/quarv/openssl-mingw32-VERSION,
#                        with the link $HOME/.cache/quarv/openssl-mingw32 to it, which the
#                        mingw32 presets read; a directory given here is read by them as it is)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/lib/apt.sh"

host=i686-w64-mingw32
stamp_name=quarv-openssl-complete
cache_base="${HOME:-/root}/.cache/quarv"
default_link="$cache_base/openssl-mingw32"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
start=$(date +%s)

say() { echo "openssl-mingw: $*"; }
fail() {
  echo "openssl-mingw: $*" >&2
  exit 1
}

# Every version of the openssl source package that apt offers, the newest (the one apt-get source
# fetches) first; nothing when apt has no source index.
source_versions() {
  local all=() sorted=() v i
  mapfile -t all < <(apt-cache showsrc --only-source openssl 2>/dev/null |
    sed -n 's/^Version: //p' | sort -u)
  for v in "${all[@]}"; do
    for ((i = 0; i < ${#sorted[@]}; i++)); do
      dpkg --compare-versions "$v" gt "${sorted[i]}" && break
    done
    sorted=("${sorted[@]:0:i}" "$v" "${sorted[@]:i}")
  done
  [ ${#sorted[@]} -eq 0 ] || printf '%s\n' "${sorted[@]}"
}

# The machine's Debian entries (the suites of its release: bookworm, bookworm-updates,
# bookworm-security, or stable, stable-updates, ...) again as deb-src, in the format each came in. Other archives (a
# vendor's repository) are left out: they may have no sources.
deb_src_entries() {
  local codename release list
  # shellcheck disable=SC1091
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [ -n "$codename" ] || fail "no VERSION_CODENAME in /etc/os-release"
  # The release's suites, by its name or by the archive's aliases for it.
  release="^($codename|stable|oldstable|testing|unstable|sid)(-|\$)"
  case "$1" in
    sources)
      for list in /etc/apt/sources.list.d/*.sources; do
        [ -f "$list" ] || continue
        awk -v release="$release" '
          function flush(   i, n, kept, suites) {
            if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no") {
              n = split(suite_list, suites, /[ \t]+/)
              kept = ""
              for (i = 1; i <= n; i++)
                if (suites[i] ~ release)
                  kept = kept " " suites[i]
              if (kept != "") {
                printf "Types: deb-src\nSuites:%s\n%s\n\n", kept, rest
              }
            }
            types = ""; suite_list = ""; enabled = ""; rest = ""
          }
          /^[ \t]*$/ { flush(); next }
          /^#/ { next }
          /^Types:/ { types = $0; sub(/^Types:[ \t]*/, "", types); next }
          /^Suites:/ { suite_list = $0; sub(/^Suites:[ \t]*/, "", suite_list); next }
          /^Enabled:/ { enabled = tolower($2); next }
          { rest = rest (rest == "" ? "" : "\n") $0 }
          END { flush() }' "$list"
      done
      ;;
    list)
      for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] || continue
        awk -v release="$release" '
          $1 == "deb" {
            i = 2
            if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            if ($(i + 1) ~ release) {
              sub(/^deb/, "deb-src"); print
            }
          }' "$list"
      done
      ;;
  esac
}

# Makes apt offer the openssl source package: adds the deb-src entries (a file of their own, the
# machine's lists untouched) and updates apt's lists, both only when there is no source index.
ensure_deb_src() {
  [ -z "$(source_versions)" ] || return 0
  local sources list
  sources="$(deb_src_entries sources)"
  list="$(deb_src_entries list)"
  [ -n "$sources$list" ] || fail "no Debian archive found in /etc/apt/sources.list{,.d/}"
  say "adding deb-src entries for the machine's Debian archive, then apt-get update"
  if [ -n "$sources" ]; then
    printf '# Added by Quarv'"'"'s scripts/openssl-mingw.sh (apt-get source openssl).\n%s\n' \
      "$sources" | $sudo tee /etc/apt/sources.list.d/quarv-deb-src.sources >/dev/null
  fi
  if [ -n "$list" ]; then
    printf '# Added by Quarv'"'"'s scripts/openssl-mingw.sh (apt-get source openssl).\n%s\n' \
      "$list" | $sudo tee /etc/apt/sources.list.d/quarv-deb-src.list >/dev/null
  fi
  $sudo apt-get update -qq
  [ -n "$(source_versions)" ] || fail "apt offers no source package of openssl, even with deb-src"
}

# Where the build of a version goes.
prefix_of() {
  local prefix="${QUARV_OPENSSL_MINGW:-$cache_base/openssl-mingw32-$1}"
  mkdir -p "$(dirname "$prefix")"
  echo "$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")"
}

complete() { [ "$(cat "$1/$stamp_name" 2>/dev/null)" = "$2" ]; }

# Fetches the source package of a version into the scratch directory and prints its tree's path;
# fails when the archive does not have its files (a mirror may lack a security update's sources).
fetch() {
  local log="$scratch/apt-source-$1.log" upstream tree
  if ! (cd "$scratch" && apt-get source -q "openssl=$1") >"$log" 2>&1; then
    grep '^E:' "$log" | head -n 1 >&2
    return 1
  fi
  upstream="${1#*:}"
  tree="$scratch/openssl-${upstream%-*}"
  [ -x "$tree/Configure" ] || { echo "no OpenSSL source tree in $scratch" >&2; return 1; }
  echo "$tree"
}

# Builds the libraries of the tree into the prefix and writes the stamp last.
build() {
  local tree="$1" prefix="$2" version="$3" build_start
  # Lean and static: no DLLs, no tests; nothing loaded from a file at run time (no-dso: no
  # provider modules, no dynamic engines), no ENGINE API, no legacy provider; and no openssl.cnf
  # read unless the program asks (no-autoload-config). The API is otherwise Debian's.
  # (OpenSSL 3.0 has no no-docs: install_dev installs no manuals anyway.)
  configure=(./Configure mingw "--cross-compile-prefix=$host-" no-shared no-tests
    no-dso no-engine no-legacy no-autoload-config "--prefix=$prefix" --libdir=lib)
  # The directories compiled into the library: where it looks for openssl.cnf and the default
  # certificates (SSL_CTX_set_default_verify_paths). From --prefix they would be this machine's
  # path, which Windows reads as \root\.cache\... on the current drive, a folder any user can
  # create; OpenSSL's own defaults for 32-bit Windows programs are writable by administrators
  # only. (--openssldir cannot say this: Configure, running on Linux, takes C:/... as relative.)
  windows_dirs=("OPENSSLDIR=C:/Program Files (x86)/Common Files/SSL"
    "ENGINESDIR=C:/Program Files (x86)/OpenSSL/lib/engines-3"
    "MODULESDIR=C:/Program Files (x86)/OpenSSL/lib/ossl-modules")
  # Debian's pic.patch makes the x86 assembler position-independent the ELF way (the GOT, @PLT,
  # .hidden), which the COFF objects of Windows cannot represent: it is taken back here. The
  # other patches, the security fixes among them, stay. Should it no longer come off cleanly,
  # the C code replaces the assembler (slower, but right).
  if [ -f "$tree/debian/patches/pic.patch" ]; then
    if patch -d "$tree" -R -p1 -s --dry-run <"$tree/debian/patches/pic.patch" >/dev/null 2>&1; then
      patch -d "$tree" -R -p1 -s <"$tree/debian/patches/pic.patch"
    else
      say "Debian's pic.patch does not come off cleanly: building without assembler (no-asm)"
      configure+=(no-asm)
    fi
  fi
  say "building: CC=gcc-posix ${configure[*]}"
  build_start=$(date +%s)
  rm -rf "$prefix"
  (
    cd "$tree"
    # The compiler of cmake/mingw32-toolchain.cmake, $host-gcc-posix (the -win32 flavour has
    # another thread model), named without the prefix, which --cross-compile-prefix adds.
    CC=gcc-posix "${configure[@]}" >"$scratch/configure.log" 2>&1 ||
      { cat "$scratch/configure.log" >&2; exit 1; }
    make -j"$(nproc)" "${windows_dirs[@]}" build_libs >"$scratch/build.log" 2>&1 ||
      { tail -n 40 "$scratch/build.log" >&2; exit 1; }
    make "${windows_dirs[@]}" install_dev >"$scratch/install.log" 2>&1 ||
      { tail -n 40 "$scratch/install.log" >&2; exit 1; }
  ) || fail "building OpenSSL $version failed"
  if [ ! -f "$prefix/lib/libssl.a" ] || [ ! -f "$prefix/lib/libcrypto.a" ] ||
    [ ! -f "$prefix/include/openssl/ssl.h" ]; then
    fail "the build installed no static libraries into $prefix"
  fi
  rmdir "$prefix/bin" 2>/dev/null || true # no programs are built: it stays empty
  echo "$version" >"$prefix/$stamp_name"
  say "built OpenSSL $version in $(($(date +%s) - build_start)) s"
}

ensure_deb_src
mapfile -t versions < <(source_versions)
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quarv-openssl-mingw.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$cache_base"
# One run at a time (two work trees may run this at once): the second waits for the first, then
# finds its build.
exec 9>"$cache_base/openssl-mingw32.lock"
flock 9

prefix=""
for version in "${versions[@]}"; do
  candidate="$(prefix_of "$version")"
  if complete "$candidate" "$version"; then
    say "OpenSSL $version for $host is already built"
    prefix="$candidate"
    break
  fi
  ensure_packages dpkg-dev patch perl make g++-mingw-w64-i686-posix
  say "fetching the source package openssl $version"
  if tree="$(fetch "$version")"; then
    build "$tree" "$candidate" "$version"
    prefix="$candidate"
    break
  fi
  say "the source of openssl $version cannot be fetched; trying an older one"
done
[ -n "$prefix" ] || fail "no version of the openssl source package could be fetched"

if [ -z "${QUARV_OPENSSL_MINGW:-}" ]; then
  # The mingw32 presets read the link; other versions' builds go.
  ln -sfn "$(basename "$prefix")" "$default_link"
  for old in "$cache_base"/openssl-mingw32-*; do
    [ "$old" = "$prefix" ] || rm -rf "$old"
  done
fi
say "OpenSSL $version for $host: $prefix ($(($(date +%s) - start)) s)"

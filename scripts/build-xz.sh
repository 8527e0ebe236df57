#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds the static liblzma installs of the project from Debian's xz-utils
# source, all from one pinned release (5.8.1, Debian 13 "trixie"):
#   BUILD_ROOT/xz-stub  MinGW, decoder only (LZMA1, CRC32), default build,
#                       for the launcher: -Os, except the LZMA1 decoder itself
#                       (lzma_decoder.c, taken from xz-stub-o2), at -O2
#   BUILD_ROOT/xz-full  MinGW, encoders and decoders, default build, for the
#                       Windows packer (and the benchmark's new floor)
#   BUILD_ROOT/xz-host  native, encoders and decoders, default build, for the
#                       host build: packer, unit tests, fuzz target, bench
# The host and the launcher thus run the same LZMA1 decoder code.
# Each install is skipped when it exists and was built from the same release
# with the same options (its build-options file says so); otherwise it is
# built again, so an older install in the build tree is never reused.
#
# Usage: scripts/build-xz.sh [BUILD_ROOT]       (default: build/deps in the repo)
#        scripts/build-xz.sh --old-floor [BUILD_ROOT]
#                                   only BUILD_ROOT/xz-old-floor: MinGW 5.4.1
#                                   (Debian 12), default build, decoder only,
#                                   the benchmark's old floor
#        scripts/build-xz.sh --ensure-deb-src   (only make sure the deb-src entry exists)
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
HOST=x86_64-w64-mingw32

# The pinned sources. A tarball with any other hash is refused.
XZ_VERSION=5.8.1
XZ_SUITE=trixie
XZ_SHA256=0b54f79df85912504de0b14aec7971e3f964491af1812d83447005807513cd9e
OLD_VERSION=5.4.1
OLD_SUITE=bookworm
OLD_SHA256=5d9827aa1875b21c288f78864bb26d2650b436ea8d2cad364e4921eb6266a5a5

export DEBIAN_FRONTEND=noninteractive

step() { echo "[build-xz] $*"; }
die() { echo "[build-xz] error: $*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Is there a deb-src entry (deb822 stanza or one-line) for SUITE?
have_deb_src() {
  local suite="$1" f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      function flush() {
        if (types ~ /(^|[ \t])deb-src([ \t]|$)/ && (" " suites " ") ~ (" " suite " ")) found = 1
        types = ""; suites = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "types:"  { types = substr($0, index($0, ":") + 1) }
      tolower($1) == "suites:" { suites = substr($0, index($0, ":") + 1); gsub(/^[ \t]+|[ \t]+$/, "", suites); gsub(/[ \t]+/, " ", suites) }
      END { flush(); exit !found }
    ' "$f" && return 0
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      $1 == "deb-src" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) found = 1
      }
      END { exit !found }' "$f" && return 0
  done
  return 1
}

# The URI of the machine's main Debian archive entry (not the security one),
# so the deb-src entry points at the same mirror.
debian_archive_uri() {
  local codename="$1" f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # Split into stanzas; print the first URI of a "deb" stanza serving CODENAME.
    awk -v codename="$codename" '
      function flush() {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && (" " suites " ") ~ (" " codename " ") && uri != "") {
          print uri; found = 1; exit
        }
        types = ""; suites = ""; uri = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "types:"  { types = substr($0, index($0, ":") + 1) }
      tolower($1) == "suites:" { suites = substr($0, index($0, ":") + 1); gsub(/^[ \t]+|[ \t]+$/, "", suites); gsub(/[ \t]+/, " ", suites) }
      tolower($1) == "uris:"   { uri = $2 }
      END { if (!found) flush() }
    ' "$f" | head -n1 | grep . && return 0
  done
  local list
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    # deb [options] URI SUITE COMPONENTS...
    awk -v codename="$codename" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == codename) { print $i; exit }
      }' "$list" | head -n1 | grep . && return 0
  done
  return 1
}

# Adds a deb-src entry for SUITE (the mirror of the machine's Debian entry)
# unless there is one. Returns 0 when it added one.
ensure_deb_src() {
  local suite="$1" file="/etc/apt/sources.list.d/debian-src-$1.sources" codename uri
  if have_deb_src "$suite"; then
    return 1  # nothing added
  fi
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  uri="$(debian_archive_uri "$codename")" || die "no Debian '$codename' entry found in /etc/apt to copy the mirror URI from"
  step "adding deb-src entry $file ($uri $suite)"
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$uri" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg | as_root tee "$file" >/dev/null
  return 0
}

if [ "${1:-}" = "--ensure-deb-src" ]; then
  if ensure_deb_src "$XZ_SUITE"; then echo added; fi
  exit 0
fi

old_floor=0
if [ "${1:-}" = "--old-floor" ]; then
  old_floor=1
  shift
fi

BUILD_ROOT="${1:-$REPO_ROOT/build/deps}"
mkdir -p "$BUILD_ROOT"
BUILD_ROOT="$(cd "$BUILD_ROOT" && pwd)"
SRC_DIR="$BUILD_ROOT/src"

command -v "$HOST-gcc" >/dev/null || die "$HOST-gcc not found (install g++-mingw-w64-x86-64)"

# fetch_source VERSION SUITE SHA256: the upstream tarball of xz-utils VERSION
# from SUITE, checked against SHA256 before it is unpacked to SRC_DIR/xz-VERSION.
fetch_source() {
  local version="$1" suite="$2" sha="$3"
  local tarball="xz-utils_${version}.orig.tar.xz" src="$SRC_DIR/xz-$version" got added=0
  mkdir -p "$SRC_DIR"
  if [ ! -f "$SRC_DIR/$tarball" ]; then
    ensure_deb_src "$suite" && added=1
    # (grep reads all of it: with pipefail an early exit would fail the pipe)
    if [ "$added" = 1 ] || ! apt-cache showsrc xz-utils 2>/dev/null | grep "^Version: ${version}-" >/dev/null; then
      step "apt-get update (source index)"
      as_root apt-get update -qq
    fi
    step "fetching xz-utils $version ($suite) into $SRC_DIR"
    # --tar-only: the mirror may lack the .dsc of the current revision, and
    # only the upstream tarball is used. apt-get source runs unsandboxed as
    # root and says so; keep the log quiet.
    (cd "$SRC_DIR" && apt-get source --download-only --tar-only -qq "xz-utils/$suite" 2>&1 \
      | grep -v -i 'unsandboxed' || true)
    [ -f "$SRC_DIR/$tarball" ] || die "apt-get source did not produce $SRC_DIR/$tarball (does $suite still carry xz-utils $version?)"
  fi
  got="$(sha256sum "$SRC_DIR/$tarball" | cut -d' ' -f1)"
  [ "$got" = "$sha" ] || die "$SRC_DIR/$tarball has SHA-256 $got, expected $sha; not building from it"
  if [ ! -f "$src/configure" ]; then
    step "unpacking $tarball (SHA-256 ok)"
    rm -rf "$src"
    tar -xJf "$SRC_DIR/$tarball" -C "$SRC_DIR"
    [ -f "$src/configure" ] || die "unpacked source has no configure script at $src"
  fi
}

# --- builds ---------------------------------------------------------------
# Library only, no tools, docs or translations. No debug info and NDEBUG
# (configure's default) keep the build folder out of the objects; the prefix
# map keeps it so should that change.
common_flags=(
  --disable-shared --enable-static
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo
  --disable-lzma-links --disable-scripts --disable-doc --disable-nls
)
decoder_flags=(
  --disable-encoders --enable-decoders=lzma1 --disable-match-finders
  --enable-checks=crc32 --disable-threads
)
LZMA_DECODER_MEMBER=liblzma_la-lzma_decoder.o

# build NAME VERSION CFLAGS CONFIGURE_ARGS...
# With FAST_DECODER_FROM=OTHER set, the LZMA1 decoder object of the already
# built install OTHER (same configure options) replaces this build's own.
build() {
  local name="$1" version="$2" cflags="$3"; shift 3
  local prefix="$BUILD_ROOT/$name" src="$SRC_DIR/xz-$version"
  local options="xz $version; CFLAGS $cflags; $*; LZMA1 decoder from ${FAST_DECODER_FROM:-here}"
  if [ -f "$prefix/lib/liblzma.a" ] && [ "$(cat "$prefix/build-options" 2>/dev/null)" = "$options" ]; then
    step "$name: already installed in $prefix"
    return
  fi
  if [ "$version" = "$XZ_VERSION" ]; then
    fetch_source "$XZ_VERSION" "$XZ_SUITE" "$XZ_SHA256"
  else
    fetch_source "$OLD_VERSION" "$OLD_SUITE" "$OLD_SHA256"
  fi
  local bdir="$BUILD_ROOT/build-$name" stage="$BUILD_ROOT/stage-$name"
  rm -rf "$bdir" "$stage" "$prefix"
  mkdir -p "$bdir"
  step "$name: configure (xz $version)"
  (cd "$bdir" && CFLAGS="$cflags -ffile-prefix-map=$BUILD_ROOT=deps" "$src/configure" \
      --prefix="$prefix" "$@" >configure.log 2>&1) \
    || { tail -n 40 "$bdir/configure.log" >&2; die "$name: configure failed (log: $bdir/configure.log)"; }
  step "$name: make -j2"
  make -C "$bdir" -j2 >"$bdir/make.log" 2>&1 \
    || { tail -n 40 "$bdir/make.log" >&2; die "$name: build failed (log: $bdir/make.log)"; }
  # Install into a staging root first so an interrupted install never looks
  # finished to the liblzma.a check above.
  step "$name: make install -> $prefix"
  make -C "$bdir" install DESTDIR="$stage" >"$bdir/install.log" 2>&1 \
    || { tail -n 40 "$bdir/install.log" >&2; die "$name: install failed (log: $bdir/install.log)"; }
  local lib="$stage$prefix/lib/liblzma.a"
  [ -f "$lib" ] || die "$name: install produced no lib/liblzma.a"
  if [ -n "${FAST_DECODER_FROM:-}" ]; then
    local fast="$BUILD_ROOT/$FAST_DECODER_FROM/lib/liblzma.a" tmp="$bdir/fast-decoder"
    [ -f "$fast" ] || die "$name: no $fast to take the LZMA1 decoder from"
    ar t "$lib" | grep -x "$LZMA_DECODER_MEMBER" >/dev/null || die "$name: $lib has no $LZMA_DECODER_MEMBER"
    ar t "$fast" | grep -x "$LZMA_DECODER_MEMBER" >/dev/null || die "$name: $fast has no $LZMA_DECODER_MEMBER"
    rm -rf "$tmp" && mkdir -p "$tmp"
    (cd "$tmp" && ar x "$fast" "$LZMA_DECODER_MEMBER")
    ar rD "$lib" "$tmp/$LZMA_DECODER_MEMBER"
    step "$name: $LZMA_DECODER_MEMBER taken from $FAST_DECODER_FROM"
  fi
  echo "$options" >"$stage$prefix/build-options"
  mv "$stage$prefix" "$prefix"
  rm -rf "$stage"
  step "$name: done ($(stat -c %s "$prefix/lib/liblzma.a") bytes liblzma.a)"
}

if [ "$old_floor" = 1 ]; then
  # Only the benchmark needs this: the release the launcher shipped with
  # before, in its default build, as the old floor to compare against.
  build xz-old-floor "$OLD_VERSION" "-O2" --host="$HOST" "${common_flags[@]}" "${decoder_flags[@]}"
  exit 0
fi


# The launcher. Measured under Wine (64 MiB setup program, start to hand-off,
# alternating): with everything at -O2 Stub64.exe was 49,664 bytes; this
# build (-Os, the LZMA1 decoder at -O2) makes it 48,128 at the same speed
# (per-round ratio 1.04, within the noise), all -Os 45,056 at 1.15x the
# time, --enable-small -O2 1.53x. ("small" saves nothing beside the decoder:
# the raw LZMA1 path links no other code that depends on it.)
build xz-stub-o2 "$XZ_VERSION" "-O2" --host="$HOST" "${common_flags[@]}" "${decoder_flags[@]}"
FAST_DECODER_FROM=xz-stub-o2 build xz-stub "$XZ_VERSION" "-Os" --host="$HOST" \
  "${common_flags[@]}" "${decoder_flags[@]}"

build xz-full "$XZ_VERSION" "-O2" --host="$HOST" "${common_flags[@]}"
# Position-independent: the host's executables are PIE.
build xz-host "$XZ_VERSION" "-O2" --with-pic "${common_flags[@]}"

step "all done: $BUILD_ROOT/xz-stub, $BUILD_ROOT/xz-full, $BUILD_ROOT/xz-host"

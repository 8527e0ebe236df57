#!/usr/bin/env bash
# Cross-builds two static MinGW liblzma installs from Debian's xz-utils source:
#   BUILD_ROOT/xz-stub  decoder-only (LZMA1, CRC32), small code, for the launcher
#   BUILD_ROOT/xz-full  encoders and decoders, for the Windows build of the packer
# Each install is skipped when its lib/liblzma.a already exists.
#
# Usage: scripts/build-xz.sh [BUILD_ROOT]       (default: build/deps in the repo)
#        scripts/build-xz.sh --ensure-deb-src   (only make sure a deb-src entry exists)
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
HOST=x86_64-w64-mingw32
XZ_VERSION=5.4.1
TARBALL="xz-utils_${XZ_VERSION}.orig.tar.xz"
DEB_SRC_FILE=/etc/apt/sources.list.d/debian-src.sources

export DEBIAN_FRONTEND=noninteractive

step() { echo "[build-xz] $*"; }
die() { echo "[build-xz] error: $*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

have_deb_src() {
  # deb822 files with a deb-src type, or one-line deb-src entries.
  grep -qsE '^[[:space:]]*Types:.*\bdeb-src\b' /etc/apt/sources.list.d/*.sources && return 0
  grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list && return 0
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

ensure_deb_src() {
  if have_deb_src; then
    return 1  # nothing added
  fi
  local codename uri
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  uri="$(debian_archive_uri "$codename")" || die "no Debian '$codename' entry found in /etc/apt to copy the mirror URI from"
  step "adding deb-src entry $DEB_SRC_FILE ($uri $codename)"
  as_root tee "$DEB_SRC_FILE" >/dev/null <<EOF
Types: deb-src
URIs: $uri
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  return 0
}

if [ "${1:-}" = "--ensure-deb-src" ]; then
  if ensure_deb_src; then echo added; fi
  exit 0
fi

BUILD_ROOT="${1:-$REPO_ROOT/build/deps}"
mkdir -p "$BUILD_ROOT"
BUILD_ROOT="$(cd "$BUILD_ROOT" && pwd)"
SRC_DIR="$BUILD_ROOT/src"
XZ_SRC="$SRC_DIR/xz-$XZ_VERSION"

command -v "$HOST-gcc" >/dev/null || die "$HOST-gcc not found (install g++-mingw-w64-x86-64)"

stub_prefix="$BUILD_ROOT/xz-stub"
full_prefix="$BUILD_ROOT/xz-full"
if [ -f "$stub_prefix/lib/liblzma.a" ] && [ -f "$full_prefix/lib/liblzma.a" ]; then
  step "xz-stub and xz-full already built in $BUILD_ROOT"
  exit 0
fi

# --- source ---------------------------------------------------------------
mkdir -p "$SRC_DIR"
if [ ! -f "$SRC_DIR/$TARBALL" ]; then
  added=0
  ensure_deb_src && added=1
  if [ "$added" = 1 ] || ! apt-cache showsrc xz-utils 2>/dev/null | grep -q "^Version: ${XZ_VERSION}"; then
    step "apt-get update (source index)"
    as_root apt-get update -qq
  fi
  step "fetching xz-utils source into $SRC_DIR"
  # apt-get source runs unsandboxed as root and says so; keep the log quiet.
  (cd "$SRC_DIR" && apt-get source --download-only -qq xz-utils 2>&1 | grep -v -i 'unsandboxed' || true)
  [ -f "$SRC_DIR/$TARBALL" ] || die "apt-get source did not produce $SRC_DIR/$TARBALL (is Debian's xz-utils still $XZ_VERSION?)"
else
  step "source $TARBALL present"
fi

if [ ! -f "$XZ_SRC/configure" ]; then
  step "unpacking $TARBALL"
  rm -rf "$XZ_SRC"
  tar -xJf "$SRC_DIR/$TARBALL" -C "$SRC_DIR"
  [ -f "$XZ_SRC/configure" ] || die "unpacked source has no configure script at $XZ_SRC"
fi

# --- builds ---------------------------------------------------------------
# Flags shared by both installs: library only, no tools, docs or translations.
common_flags=(
  --host="$HOST" --disable-shared --enable-static
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo
  --disable-lzma-links --disable-scripts --disable-doc --disable-nls
)

# build NAME CFLAGS CONFIGURE_ARGS...
build() {
  local name="$1" cflags="$2"; shift 2
  local prefix="$BUILD_ROOT/$name"
  if [ -f "$prefix/lib/liblzma.a" ]; then
    step "$name: already installed in $prefix"
    return
  fi
  local bdir="$BUILD_ROOT/build-$name" stage="$BUILD_ROOT/stage-$name"
  rm -rf "$bdir" "$stage" "$prefix"
  mkdir -p "$bdir"
  step "$name: configure"
  (cd "$bdir" && CFLAGS="$cflags" "$XZ_SRC/configure" --prefix="$prefix" "$@" >configure.log 2>&1) \
    || { tail -n 40 "$bdir/configure.log" >&2; die "$name: configure failed (log: $bdir/configure.log)"; }
  step "$name: make -j2"
  make -C "$bdir" -j2 >"$bdir/make.log" 2>&1 \
    || { tail -n 40 "$bdir/make.log" >&2; die "$name: build failed (log: $bdir/make.log)"; }
  # Install into a staging root first so an interrupted install never looks
  # finished to the liblzma.a check above.
  step "$name: make install -> $prefix"
  make -C "$bdir" install DESTDIR="$stage" >"$bdir/install.log" 2>&1 \
    || { tail -n 40 "$bdir/install.log" >&2; die "$name: install failed (log: $bdir/install.log)"; }
  [ -f "$stage$prefix/lib/liblzma.a" ] || die "$name: install produced no lib/liblzma.a"
  mv "$stage$prefix" "$prefix"
  rm -rf "$stage"
  step "$name: done ($(stat -c %s "$prefix/lib/liblzma.a") bytes liblzma.a)"
}

# The launcher only decodes raw LZMA1; --enable-small keeps the decoder code
# compact at about the speed of the default build when compiled with -O2.
build xz-stub "-O2" "${common_flags[@]}" \
  --disable-encoders --enable-decoders=lzma1 --disable-match-finders \
  --enable-checks=crc32 --disable-threads --enable-small

build xz-full "-O2" "${common_flags[@]}"

step "all done: $stub_prefix, $full_prefix"

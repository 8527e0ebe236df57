#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Installs everything the build and the tests need on a Debian 12 machine, then
# builds the pinned static liblzma installs (scripts/build-xz.sh).
# Idempotent: when everything is present it only checks and returns.
#
# Usage: scripts/setup-deps.sh [BUILD_ROOT]   (BUILD_ROOT is passed to build-xz.sh)
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export DEBIAN_FRONTEND=noninteractive

step() { echo "[setup-deps] $*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

PACKAGES=(
  cmake make pkg-config g++ libgtest-dev liblzma-dev xz-utils python3
  g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  osslsigncode openssl
  clang libclang-rt-14-dev
  dpkg-dev lintian time
  bash-completion python3-debian
  wixl msitools gcab  # Windows Installer packages for the file-set tests
  nsis  # the benchmark's peer (bench/run.py, section 7); no test needs it
  # The progress-window tests: an X server without a screen, screenshots,
  # and Wine's Marlett font for the caption buttons (wine-prefix.sh --display).
  xvfb imagemagick fonts-wine
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

# The xz-utils source comes from a deb-src entry (trixie); add it now so one
# apt-get update covers both the packages and the source index.
deb_src_added="$("$REPO_ROOT/scripts/build-xz.sh" --ensure-deb-src)"

if [ "${#missing[@]}" -gt 0 ]; then
  step "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
else
  step "all ${#PACKAGES[@]} packages present"
  if [ "$deb_src_added" = added ]; then
    step "deb-src entry added; build-xz.sh updates the index if it needs the source"
  fi
fi

for tool in cmake g++ x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine wineserver setarch osslsigncode openssl clang python3 Xvfb import; do
  command -v "$tool" >/dev/null || { echo "[setup-deps] error: $tool not on PATH after install" >&2; exit 1; }
done

"$REPO_ROOT/scripts/build-xz.sh" "$@"
step "done"

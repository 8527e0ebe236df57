#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds everything and makes the two packages of stubpack in build/dist:
#   stubpack_<version>_<arch>.deb   the Linux packer, its man page and docs
#   stubpack-<version>-win64.zip    stubpack.exe and the README
# Both packers carry the Stub64.exe of this build. Installs what is missing
# first, like the other scripts (scripts/setup-deps.sh).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"
export BUILD_ROOT="$build"

"$root/scripts/setup-deps.sh" "$build/deps"
"$root/scripts/build.sh"

dist="$build/dist"
mkdir -p "$dist"
(cd "$build/host" && cpack -G DEB -B "$dist" >/dev/null)
(cd "$build/win" && cpack -G ZIP -B "$dist" >/dev/null)
rm -rf "$dist/_CPack_Packages"
echo "[package] $(ls "$dist"/stubpack_*.deb "$dist"/stubpack-*-win64.zip | tr '\n' ' ')"

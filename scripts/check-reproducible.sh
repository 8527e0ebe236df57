#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds Stub64.exe a second time from a copy of the source tree in another
# folder, at another time and with another SOURCE_DATE_EPOCH, against the
# same liblzma, and checks that the bytes equal those of an existing build.
#
# Usage: scripts/check-reproducible.sh WIN_BUILD_DIR [STUB]
#   WIN_BUILD_DIR  a configured MinGW build (build/win); its liblzma is reused
#   STUB           the file to compare with (default WIN_BUILD_DIR/Stub64.exe):
#                  a shipped Stub64.exe, or a launcher file made from one
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
win="$(cd "${1:?usage: check-reproducible.sh WIN_BUILD_DIR [STUB]}" && pwd)"
stub="${2:-$win/Stub64.exe}"
die() { echo "[reproducible] error: $*" >&2; exit 1; }

[ -f "$stub" ] || die "no $stub to compare with"
lzma_root="$(sed -n 's/^LZMA_STUB_ROOT:PATH=//p' "$win/CMakeCache.txt" 2>/dev/null)"
[ -n "$lzma_root" ] || die "$win/CMakeCache.txt names no LZMA_STUB_ROOT"

# Another folder, with a name of another length than the original's.
other="$(mktemp -d "${TMPDIR:-/tmp}/stub-rebuild-elsewhere.XXXXXX")"
trap 'rm -rf "$other"' EXIT
src="$other/src-elsewhere"
mkdir -p "$src"
# The sources as they are now (committed or not), without build output.
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -

# A build date of its own: nothing may take it in.
export SOURCE_DATE_EPOCH=$(( $(date +%s) - 86400 * 400 ))
cmake -S "$src" -B "$other/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
  -DLZMA_STUB_ROOT="$lzma_root" >"$other/configure.log" 2>&1 \
  || { tail -20 "$other/configure.log" >&2; die "configure failed"; }
cmake --build "$other/win" --target Stub64 -j "${JOBS:-2}" \
  >"$other/build.log" 2>&1 || { tail -20 "$other/build.log" >&2; die "build failed"; }

# A launcher file made from the stub carries the package locator (bytes
# 128-151), the PE CheckSum and, when signed, the certificate table entry;
# compare the stub part with those fields cleared on both sides.
python3 - "$stub" "$other/win/Stub64.exe" <<'PY'
import hashlib, struct, sys
shipped = open(sys.argv[1], "rb").read()
rebuilt = open(sys.argv[2], "rb").read()
what = "Stub64.exe"
if len(shipped) > len(rebuilt) and any(shipped[128:152]):
    what = "the stub part of launcher file %s" % sys.argv[1]
    shipped = shipped[:struct.unpack_from("<I", shipped, 128)[0]]
    def cleared(image):
        b = bytearray(image)
        pe = struct.unpack_from("<I", b, 60)[0]
        b[128:152] = bytes(24)
        b[pe + 88:pe + 92] = bytes(4)        # optional header CheckSum
        b[pe + 168:pe + 176] = bytes(8)      # data directory 4: certificate table
        return bytes(b)
    shipped, rebuilt = cleared(shipped), cleared(rebuilt)
a, b = hashlib.sha256(shipped).hexdigest(), hashlib.sha256(rebuilt).hexdigest()
if shipped != rebuilt:
    first = next((i for i in range(min(len(shipped), len(rebuilt))) if shipped[i] != rebuilt[i]),
                 min(len(shipped), len(rebuilt)))
    sys.exit("[reproducible] error: %s differs from the rebuild (SHA-256 %s vs %s, sizes %d and "
             "%d, first difference at byte %d)" % (what, a, b, len(shipped), len(rebuilt), first))
print("[reproducible] %s equals the rebuild from another folder: %d bytes, SHA-256 %s"
      % (what, len(rebuilt), b))
PY

#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Compares `stubpack build` with xz's raw LZMA1 at the same settings, in one
# run, alternating the two per round: compressed size and wall time (median).
#
#   bench/packer_vs_xz.sh [ROUNDS] [MIB]
#
# Environment: BUILD_HOST (default build/host), STUB (default
# $BUILD_WIN/Stub64.exe, else a minimal PE image made here), WORK (scratch
# folder, default a fresh temporary one), DICT (default 8MiB), PRESET (6).
# The input is the first MIB MiB (default 40) of the ELF files under
# /usr/bin and /usr/lib, taken in sorted order: executable code like a
# setup program's, and the same bytes on every run on one machine.
set -euo pipefail

ROUNDS=${1:-5}
MIB=${2:-40}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_HOST=${BUILD_HOST:-$ROOT/build/host}
BUILD_WIN=${BUILD_WIN:-$ROOT/build/win}
STUBPACK=$BUILD_HOST/packer/stubpack
DICT=${DICT:-8MiB}
PRESET=${PRESET:-6}
WORK=${WORK:-$(mktemp -d)}
trap '[ -z "${KEEP:-}" ] && rm -rf "$WORK"' EXIT

[ -x "$STUBPACK" ] || { echo "no stubpack at $STUBPACK" >&2; exit 1; }
command -v xz >/dev/null || { echo "xz is not installed" >&2; exit 1; }

INPUT=$WORK/setup.bin
find /usr/bin /usr/lib -type f -size +16k 2>/dev/null | LC_ALL=C sort |
  while read -r f; do
    [ "$(head -c4 "$f" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && cat "$f"
  done 2>/dev/null | head -c $((MIB << 20)) > "$INPUT" || true
SIZE=$(stat -c %s "$INPUT")
[ "$SIZE" -ge $((32 << 20)) ] || { echo "input only $SIZE bytes; need 32 MiB" >&2; exit 1; }

STUB=${STUB:-$BUILD_WIN/Stub64.exe}
if [ ! -f "$STUB" ]; then
  STUB=$WORK/stub.exe
  python3 - "$STUB" <<'PY'
import struct, sys
b = bytearray(1024); b[0:2] = b"MZ"; struct.pack_into("<I", b, 60, 256)
b[256:260] = b"PE\0\0"; struct.pack_into("<HHIIIHH", b, 260, 0x8664, 0, 0, 0, 0, 240, 0x22)
struct.pack_into("<H", b, 280, 0x20B); struct.pack_into("<I", b, 388, 16)
open(sys.argv[1], "wb").write(b)
PY
fi

DICT_BYTES=$(python3 -c "import sys; s=sys.argv[1]; m={'KiB':1<<10,'MiB':1<<20}; print(int(s[:-3])*m[s[-3:]])" "$DICT")
now() { date +%s.%N; }
declare -a T_PACK T_XZ
for ((r = 1; r <= ROUNDS; r++)); do
  # Alternate which goes first so neither always meets a warm or cold cache.
  for tool in $( ((r % 2)) && echo "pack xz" || echo "xz pack"); do
    start=$(now)
    if [ "$tool" = pack ]; then
      "$STUBPACK" build --stub "$STUB" --setup "$INPUT" --out "$WORK/launcher.exe" \
        --preset "$PRESET" --lc 3 --lp 0 --pb 2 --dict "$DICT_BYTES"
      T_PACK+=("$(echo "$(now) - $start" | bc)")
    else
      xz --format=raw --lzma1=preset=$PRESET,lc=3,lp=0,pb=2,dict=$DICT -T1 -c \
        < "$INPUT" > "$WORK/xz.raw"
      T_XZ+=("$(echo "$(now) - $start" | bc)")
    fi
  done
done

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
PACKED=$("$STUBPACK" inspect --json "$WORK/launcher.exe" | python3 -c "import json,sys; print(json.load(sys.stdin)['payload']['packedSize'])")
XZSIZE=$(stat -c %s "$WORK/xz.raw")
MP=$(median "${T_PACK[@]}")
MX=$(median "${T_XZ[@]}")
echo "input:               $SIZE bytes (ELF files under /usr/bin, /usr/lib)"
echo "settings:            preset $PRESET, lc 3, lp 0, pb 2, dict $DICT; $ROUNDS rounds"
echo "stubpack block:      $PACKED bytes (launcher file $(stat -c %s "$WORK/launcher.exe"))"
echo "xz raw LZMA1:        $XZSIZE bytes"
echo "size ratio:          $(echo "scale=4; $PACKED / $XZSIZE" | bc)"
echo "stubpack time (s):   median $MP of ${T_PACK[*]}"
echo "xz time (s):         median $MX of ${T_XZ[*]}"
echo "time ratio:          $(echo "scale=3; $MP / $MX" | bc)"

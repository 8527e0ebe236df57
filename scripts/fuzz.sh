#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds a libFuzzer target (clang, ASan + UBSan) and runs it.
#   scripts/fuzz.sh [SECONDS] [TARGET]
#   SECONDS  default 600; CI runs 30-second smoke runs
#   TARGET   launcher (default): the launcher's whole path
#            packer: the packer's readers (inspect, verify, extract) and stub check
#            build: build's own inputs (.ico, texts, the sign step's checks)
#            signature: the setup program's signature and the DER reader
#            settable: a file set's table, as the launcher and stubpack read it
# The seed corpus is made by the packer on first use; findings land in
# build/fuzz/findings[-packer] and make the run fail.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"
seconds="${1:-600}"
target="${2:-launcher}"
fuzz="$build/fuzz"
case "$target" in
  launcher) suffix=""; corpus_args=() ;;
  # Real launcher files too: the packer's readers see what users give them.
  packer) suffix="-packer"; corpus_args=("$build/win/Stub64.exe") ;;
  build) suffix="-build"; corpus_args=() ;;
  signature) suffix="-signature"; corpus_args=() ;;
  settable) suffix="-settable"; corpus_args=() ;;
  *) echo "fuzz.sh: unknown target $target (launcher, packer, build, signature or settable)" >&2; exit 1 ;;
esac

CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz" -DLAUNCHER_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLZMA_HOST_ROOT="$build/deps/xz-host" \
  -DLAUNCHER_STUB="$build/win/Stub64.exe" >/dev/null
cmake --build "$fuzz" --target "${target}_fuzz" -j "${JOBS:-2}" >/dev/null

corpus="$fuzz/corpus$suffix"
if [ ! -d "$corpus" ] || [ -z "$(ls -A "$corpus")" ]; then
  if [ "$target" = build ]; then
    python3 "$root/tests/fuzz/make_build_corpus.py" "$corpus"
  elif [ "$target" = settable ]; then
    python3 "$root/tests/fuzz/make_set_table_corpus.py" "$build/host/packer/stubpack" "$corpus"
  elif [ "$target" = signature ]; then
    python3 "$root/tests/fuzz/make_signature_corpus.py" "$corpus" "$build/win/tests/wine/probe.exe"
  else
    python3 "$root/tests/fuzz/make_corpus.py" "$build/host/packer/stubpack" "$corpus" \
      "${corpus_args[@]}"
  fi
fi
findings="$fuzz/findings$suffix"
work="$fuzz/work$suffix"
mkdir -p "$findings" "$work"
# The corpus grows in a scratch copy so the seeds stay what the packer made.
cp -n "$corpus"/* "$work/" 2>/dev/null || true

echo "[fuzz] $target: $seconds s over $(ls "$work" | wc -l) inputs"
"$fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 \
  -timeout=20 -artifact_prefix="$findings/" -print_final_stats=1 \
  "$work" 2>&1 | grep -E 'stat::|Done|ERROR|SUMMARY|crash|leak|timeout' || true
if ls "$findings"/* >/dev/null 2>&1; then
  echo "[fuzz] findings in $findings" >&2
  exit 1
fi
echo "[fuzz] no findings"

#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan + UBSan) and runs it.
#   scripts/fuzz.sh [SECONDS]   default 600; CI runs a 30-second smoke run
# The seed corpus is made by the packer on first use; findings land in
# build/fuzz/findings and make the run fail.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"
seconds="${1:-600}"
fuzz="$build/fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz" -DLAUNCHER_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$fuzz" --target launcher_fuzz -j "${JOBS:-2}" >/dev/null

corpus="$fuzz/corpus"
if [ ! -d "$corpus" ] || [ -z "$(ls -A "$corpus")" ]; then
  python3 "$root/tests/fuzz/make_corpus.py" "$build/host/packer/stubpack" "$corpus"
fi
mkdir -p "$fuzz/findings" "$fuzz/work"
# The corpus grows in a scratch copy so the seeds stay what the packer made.
cp -n "$corpus"/* "$fuzz/work/" 2>/dev/null || true

echo "[fuzz] $seconds s over $(ls "$fuzz/work" | wc -l) inputs"
"$fuzz/tests/fuzz/launcher_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 \
  -timeout=20 -artifact_prefix="$fuzz/findings/" -print_final_stats=1 \
  "$fuzz/work" 2>&1 | grep -E 'stat::|Done|ERROR|SUMMARY|crash|leak|timeout' || true
if ls "$fuzz/findings"/* >/dev/null 2>&1; then
  echo "[fuzz] findings in $fuzz/findings" >&2
  exit 1
fi
echo "[fuzz] no findings"

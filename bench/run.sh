#!/usr/bin/env bash
# SPDX-License-Identifier: 0BSD
# Builds the benchmark programs (host and MinGW) and prints the launcher's
# performance figures with their floors and ratios. Arguments go to
# bench/run.py (--rounds N, --decode-mib N, --cpu LIST or --cpu ''), except
#   --previous REF  the git ref whose Stub64.exe is timed as the previous
#                   launcher (default 46b8d71, the last launcher that held the
#                   whole package in memory; '' leaves it out)
# Exits non-zero only on errors; missed goals are printed, not fatal.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_ROOT:-$root/build}"

previous=46b8d71
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --previous) [ $# -ge 2 ] || { echo "bench: --previous needs a git ref" >&2; exit 2; }
                previous="$2"; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

# Build output goes to a log; shown only when the build fails.
quiet_build() {
  if ! "$@" >"$build/bench-build.log" 2>&1; then
    tail -30 "$build/bench-build.log" >&2
    return 1
  fi
}

mkdir -p "$build"
# The old floor's liblzma (5.4.1) is built here only: nothing else needs it.
"$root/scripts/build-xz.sh" --old-floor "$build/deps"
# The MinGW side first: the host packer embeds its Stub64.exe.
echo "[bench] building MinGW side ($build/win)"
quiet_build bash -c "cmake -S '$root' -B '$build/win' \
  -DCMAKE_TOOLCHAIN_FILE='$root/cmake/mingw-w64-x86_64.cmake' -DCMAKE_BUILD_TYPE=Release \
  -DLZMA_STUB_ROOT='$build/deps/xz-stub' -DLZMA_FULL_ROOT='$build/deps/xz-full' \
  -DLZMA_OLD_FLOOR_ROOT='$build/deps/xz-old-floor' \
  && cmake --build '$build/win' -j2 --target Stub64 stamp idle reference reference_old \
     reference_stublzma timer"
echo "[bench] building host side ($build/host)"
quiet_build bash -c "cmake -S '$root' -B '$build/host' -DCMAKE_BUILD_TYPE=Release \
  -DLZMA_HOST_ROOT='$build/deps/xz-host' \
  && cmake --build '$build/host' -j2 --target decode_bench stubpack"

# The previous launcher: Stub64.exe of that commit, built in a worktree
# outside the source tree against the same launcher liblzma, so that only
# the launcher's own code differs.
previous_args=()
if [ -n "$previous" ]; then
  commit="$(git -C "$root" rev-parse --verify "$previous^{commit}")"
  echo "[bench] building the previous launcher (${commit:0:12})"
  tmp="$(mktemp -d "${TMPDIR:-/tmp}/bench-previous.XXXXXX")"
  remove_worktree() {
    git -C "$root" worktree remove --force "$tmp/src" >/dev/null 2>&1 || true
    rm -rf "$tmp"
  }
  trap remove_worktree EXIT
  quiet_build git -C "$root" worktree add --detach "$tmp/src" "$commit"
  quiet_build bash -c "cmake -S '$tmp/src' -B '$tmp/win' \
    -DCMAKE_TOOLCHAIN_FILE='$root/cmake/mingw-w64-x86_64.cmake' -DCMAKE_BUILD_TYPE=Release \
    -DLZMA_STUB_ROOT='$build/deps/xz-stub' \
    && cmake --build '$tmp/win' -j2 --target Stub64"
  mkdir -p "$build/win/previous"
  cp "$tmp/win/Stub64.exe" "$build/win/previous/Stub64.exe"
  remove_worktree
  trap - EXIT
  previous_args=(--previous-stub "$build/win/previous/Stub64.exe"
                 --previous-name "$(git -C "$root" log -1 --format='%h %s' "$commit")")
fi
rm -f "$build/bench-build.log"

exec python3 "$root/bench/run.py" --build-host "$build/host" --build-win "$build/win" \
  --prefix "$build/wineprefix-bench" "${previous_args[@]}" "${args[@]}"

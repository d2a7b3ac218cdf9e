#!/usr/bin/env bash
# Media library benchmark: builds a 200,000-file tree, packs it with lz4 and
# zstd (and stored, for reads), and prints each figure as a ratio to the plain
# system call on the source tree, measured in the same run.
#   bench/media.sh            (BUILD_DIR overrides the build directory)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target qor_media_bench >/dev/null
bench=$build/qor/qor_media_bench

base=/tmp
[ -d /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/qor-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "building the source tree in $work"
"$bench" tree "$work/src"
# -no-duplicates: duplicate detection among 200,000 files of nearly one size takes
# mksquashfs minutes.
pack() { # NAME OPTIONS...
  local name=$1; shift
  mkdir -p "$work/media/$name"
  mksquashfs "$work/src" "$work/media/$name/1.sqfs" -exports -no-duplicates -noappend -quiet -no-progress -processors 2 "$@" >/dev/null
}
pack lz4 -comp lz4
pack zstd -comp zstd -Xcompression-level 3  # reading speed hardly depends on the level
pack stored -noI -noD -noF -noX
for m in stored lz4 zstd; do
  echo "== $m: $(stat -c %s "$work/media/$m/1.sqfs") bytes"
  "$bench" run "$work/src" "$work/media" "$m"
done

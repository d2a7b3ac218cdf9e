#!/usr/bin/env bash
# The unit tests and the media library's tests once more, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (-DQOR_SANITIZE=ON): a write
# past an array, a use after free, a leak or undefined behaviour fails the test.
#
# usage: scripts/test-sanitize.sh [CTEST_ARGS...]
#   SANITIZE_BUILD_DIR  the build directory (default: build-sanitize)
#   FUZZ_BUILD_DIR      the fuzzer's clang build (default: build-fuzz)
#   FUZZ_SECONDS        how long the fuzzer runs (default: 60)
# Then the media library's fuzzer runs (see its part below).
# Only GoogleTest programs run here: the plug-in cannot run under the sanitizer
# inside the server (the server loads its libraries with RTLD_DEEPBIND, which
# the sanitizer's interposition does not survive), and the launcher's and the
# server's integration tests drive the normal build's binaries.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$top/build-sanitize}

# Every GoogleTest program labelled unit or qor; nothing else is built.
programs=(
  trelk_unit_test net_unit_tests qor_media_test
)

"$top/scripts/install-deps.sh"
start=$SECONDS
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZE=ON >/dev/null
targets=()
for t in "${programs[@]}"; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
echo "test-sanitize: the build took $((SECONDS - start)) s"

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build"
# The label is a regular expression: exactly "unit" or "qor" (not "fsalqor",
# whose other tests start the server).
ctest --output-on-failure --timeout 900 -j"$(nproc)" -L '^(unit|qor)$' "$@"

# The media library's fuzzer (tests/qor/fuzz_media.cc, a clang build in
# FUZZ_BUILD_DIR, default build-fuzz): about a minute on images made here from
# a tiny tree by the real tools, one per compressor we read. A crash, leak,
# undefined behaviour, allocation above 128 MiB or resident size above 256 MiB
# fails it; the input that did is left as build-fuzz/crash-* (or leak-, oom-).
fuzz=${FUZZ_BUILD_DIR:-$top/build-fuzz}
CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON >/dev/null
cmake --build "$fuzz" -j"$(nproc)" --target qor_fuzz_media
work=$(mktemp -d /tmp/qor-fuzz-seeds.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/d" "$work/seeds" "$work/corpus" "$work/media/f"
(cd "$work/tree" && head -c 9000 /dev/urandom >d/noise && seq 3000 >d/text && : >empty && ln -s d/text link &&
  mkfifo fifo && touch -d @1234567890 d/text)
for c in none gzip xz lzma lz4 zstd; do
  opts=(-comp "$c" -b 4K)
  [ $c != none ] || opts=(-noI -noD -noF -noX -b 4K)
  mksquashfs "$work/tree" "$work/seeds/$c" -noappend -quiet -no-progress "${opts[@]}" >/dev/null
done
tar -C "$work/tree" -cf - . | tar2sqfs -q -b 4096 -c zstd "$work/seeds/tar-no-exports" >/dev/null
QOR_FUZZ_MEDIA=$work/media ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=16 \
  "$fuzz/tests/qor/qor_fuzz_media" -rss_limit_mb=256 -malloc_limit_mb=128 -max_total_time="${FUZZ_SECONDS:-60}" -timeout=30 \
  -artifact_prefix="$fuzz/" -print_final_stats=1 "$work/corpus" "$work/seeds"

#!/usr/bin/env bash
# The unit tests and the media library's tests once more, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (-DQOR_SANITIZE=ON): a write
# past an array, a use after free, a leak or undefined behaviour fails the test.
#
# usage: scripts/test-sanitize.sh [CTEST_ARGS...]
#   SANITIZE_BUILD_DIR  the build directory (default: build-sanitize)
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

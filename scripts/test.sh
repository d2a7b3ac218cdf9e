#!/usr/bin/env bash
# Builds everything and runs the tests: scripts/test.sh [CTEST_ARGS...]
# e.g. scripts/test.sh -L unit
# Without arguments it runs every test: the host's, then the stage on the
# appliance's architecture (scripts/test-mips64el.sh: cross build, unit and media
# tests, the target's NFS server and the packages, under qemu-user).
# QOR_SKIP_MIPS64EL=1 leaves that stage out. The unit and media tests also run
# once more built with AddressSanitizer and UndefinedBehaviorSanitizer
# (scripts/test-sanitize.sh); QOR_SKIP_SANITIZE=1 leaves that stage out.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/install-deps.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
rc=0
(cd "$build" && ctest --output-on-failure --timeout 900 "$@") || rc=$?
if [ $# -eq 0 ] && [ "${QOR_SKIP_MIPS64EL:-}" != 1 ]; then
  start=$SECONDS
  BUILD_DIR=$build "$top/scripts/test-mips64el.sh" || rc=$?
  echo "test: the mips64el stage took $((SECONDS - start)) s"
fi
if [ $# -eq 0 ] && [ "${QOR_SKIP_SANITIZE:-}" != 1 ]; then
  start=$SECONDS
  "$top/scripts/test-sanitize.sh" || rc=$?
  echo "test: the sanitizer stage took $((SECONDS - start)) s"
fi
exit "$rc"

#!/usr/bin/env bash
# The tests on the target's ABI under qemu-user: cross-builds (scripts/build-mips64el.sh),
# then runs in the cross build the unit tests, the media library's tests and the
# target's NFS server with our plug-in.
#
# usage: scripts/test-mips64el.sh [CTEST_ARGS...]
#   BUILD_DIR       the host build, for its NFS test client (default: build)
#   MIPS_BUILD_DIR  the cross build (default: build-mips64el)
# Cases that qemu-user cannot run (namespace flags in clone) are reported as
# skipped, with the reason in their output.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
host_build=${BUILD_DIR:-$top/build}
export MIPS_BUILD_DIR=${MIPS_BUILD_DIR:-$top/build-mips64el}

start=$SECONDS
"$top/scripts/build-mips64el.sh"
cmake -S "$top" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$host_build" -j"$(nproc)" --target nfsq
cmake "$MIPS_BUILD_DIR" -DQOR_HOST_NFSQ="$host_build/tests/fsalqor/nfsq" >/dev/null
cmake --build "$MIPS_BUILD_DIR" -j"$(nproc)"
echo "test-mips64el: sysroot and cross build took $((SECONDS - start)) s"
cd "$MIPS_BUILD_DIR"
# A cross build registers only the tests that run under the emulator.
ctest --output-on-failure --timeout 900 -j"$(nproc)" "$@"

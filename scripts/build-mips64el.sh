#!/usr/bin/env bash
# Cross-builds everything for the appliance (mips64el) on a Debian 12 x86-64 machine.
#
# usage: scripts/build-mips64el.sh [TARGET...]     (default: all)
#   MIPS_BUILD_DIR  build directory (default: build-mips64el in the source tree)
#   QOR_MIPS_SYSROOT  sysroot (default: /var/cache/qor-cross/mips64el/sysroot)
#
# Installs the host's build dependencies and the cross toolchain, makes (or
# reuses) the sysroot, then configures and builds with
# cmake/mips64el-linux-gnuabi64.cmake. The launcher is then at
# $MIPS_BUILD_DIR/trelk/trelk; target programs run as
# `qemu-mips64el-static -L SYSROOT PROGRAM`.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Host side: the project's own dependencies (the server's plug-in headers, the
# image tools the media tests use), the cross compilers and qemu-user.
"$top/scripts/install-deps.sh" crossbuild-essential-mips64el qemu-user-static

export QOR_MIPS_SYSROOT=${QOR_MIPS_SYSROOT:-/var/cache/qor-cross/mips64el/sysroot}
"$top/scripts/mips64el-sysroot.sh" "$QOR_MIPS_SYSROOT" >/dev/null

build=${MIPS_BUILD_DIR:-$top/build-mips64el}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mips64el-linux-gnuabi64.cmake" \
  -DQOR_MIPS_SYSROOT="$QOR_MIPS_SYSROOT" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"

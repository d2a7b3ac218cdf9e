#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the benchmarks need on a
# Debian 12 machine, and the packages named as arguments (the cross build's).
# Idempotent: when everything is present it only checks.
# usage: install-deps.sh [PKG...]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(
  g++ gcc make cmake pkg-config dpkg-dev
  libace-dev nlohmann-json3-dev libgtest-dev libgmock-dev
  busybox-static iproute2 procps psmisc util-linux mount
  nfs-ganesha nfs-ganesha-vfs rpcbind libntirpc-dev liburcu-dev libkrb5-dev
  libsquashfs-dev squashfs-tools squashfs-tools-ng
  libnfs-dev libnfs-utils
  python3 xz-utils netbase
  qemu-system-x86 qemu-system-mips cpio binutils   # tests that boot Debian kernels
  libfuse3-dev   # the slow-store benchmark's latency layer
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The server's FSAL_VFS (the tests' reference) finds file systems through
# /etc/mtab, which a minimal Debian root may lack.
[ -e /etc/mtab ] || ln -s ../proc/self/mounts /etc/mtab

# The server's plug-in headers are not packaged; they come from its source package.
"$here/fetch-ganesha-headers.sh"

#!/usr/bin/env bash
# Installs what the build and the demo need on a Debian 12 machine, everything the
# tests and the benchmarks need besides unless --demo is given, and the packages
# named as arguments (the cross build's).
# Idempotent: when everything is present it only checks.
# No service of a package installed here is started or left enabled: a host that
# ran no NFS server before runs none after (nfs-ganesha and rpcbind enable and
# start theirs on installation; the product runs its own in a container).
# usage: install-deps.sh [--demo] [PKG...]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

demo=0
[ "${1:-}" != --demo ] || { demo=1; shift; }

# the build (the tests' helpers are configured with it) and the demo
packages=(
  g++ gcc make cmake pkg-config dpkg-dev
  libace-dev nlohmann-json3-dev libgtest-dev libgmock-dev libnfs-dev
  iproute2 procps psmisc util-linux mount
  nfs-ganesha rpcbind libntirpc-dev liburcu-dev libkrb5-dev
  libsquashfs-dev squashfs-tools squashfs-tools-ng
  libnfs-utils xz-utils netbase
)
if [ "$demo" = 0 ]; then
  packages+=(
    busybox-static nfs-ganesha-vfs python3 binutils
    qemu-system-x86 qemu-system-mips cpio    # tests that boot Debian kernels
    systemd-container jq lintian             # the packages' service test and checks
    clang libclang-rt-14-dev                 # the media library's fuzzer (scripts/test-sanitize.sh)
    libfuse3-dev                             # the slow-store benchmark's latency layer
  )
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

installed() { dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' | sort; }

# The units that PACKAGE ships
units_of() { dpkg -L "$1" | sed -n 's#^\(/usr\)\{0,1\}/lib/systemd/system/\([^/]*\.\(service\|socket\|timer\|path\|target\)\)$#\2#p' | sort -u; }

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  before=$(installed)
  # Maintainer scripts ask policy-rc.d before they start a service; one that is
  # there already is the administrator's and stays.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    trap 'rm -f "$policy"' EXIT
    printf '#!/bin/sh\n# install-deps.sh: no service starts while it installs\nexit 101\n' >"$policy"
    chmod 0755 "$policy"
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
  # What the new packages enabled for the next boot is disabled again; their
  # upgrades then leave it so (their scripts find the links gone).
  for p in $(comm -13 <(echo "$before") <(installed)); do
    for u in $(units_of "$p"); do
      if [ "$(systemctl is-enabled "$u" 2>/dev/null)" = enabled ]; then systemctl disable --quiet "$u"; fi
    done
  done 2>/dev/null || true   # no systemctl: nothing was enabled
fi

# The server's FSAL_VFS (the tests' reference) finds file systems through
# /etc/mtab, which a minimal Debian root may lack.
[ -e /etc/mtab ] || ln -s ../proc/self/mounts /etc/mtab

# The server's plug-in headers are not packaged; they come from its source package.
"$here/fetch-ganesha-headers.sh"

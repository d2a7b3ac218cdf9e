#!/usr/bin/env bash
# Makes the Debian packages of both deliverables for both architectures:
# trelk and nfs-ganesha-qor, for amd64 (this machine) and mips64el (the appliance).
#
# usage: scripts/make-packages.sh [OUT_DIR]     (default: packages/ in the source tree)
#   BUILD_DIR       the amd64 build (default: build)
#   MIPS_BUILD_DIR  the mips64el build (default: build-mips64el)
# Installs what it needs first (scripts/install-deps.sh, scripts/build-mips64el.sh),
# and runs lintian on the packages.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$top/packages}
host_build=${BUILD_DIR:-$top/build}
export MIPS_BUILD_DIR=${MIPS_BUILD_DIR:-$top/build-mips64el}

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$host_build" -j"$(nproc)" --target trelk fsalqor
"$top/scripts/build-mips64el.sh" trelk fsalqor

mkdir -p "$out"
made=()
for b in "$host_build" "$MIPS_BUILD_DIR"; do
  rm -rf "$b/packages"
  (cd "$b" && cpack -G DEB >/dev/null)
  cp "$b"/packages/*.deb "$out"/
  for d in "$b"/packages/*.deb; do made+=("$out/${d##*/}"); echo "make-packages: ${d##*/}"; done
done
lintian --fail-on error,warning "${made[@]}" 2>/dev/null   # (it warns when run as root)
echo "make-packages: lintian: no error or warning"

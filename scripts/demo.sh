#!/usr/bin/env bash
# The product demo: builds the launcher and the plug-in, packs two sample trees
# into backup media, and runs a throwaway backup appliance: trelk starts the NFS
# server with the plug-in in its own container on a bridge, and an NFSv3 client
# outside the container lists both exports and copies every file out of them.
# Everything runs in new namespaces; nothing is left on the machine.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$top/scripts/install-deps.sh" --demo
build=${BUILD_DIR:-$top/build}
echo "== Building trelk and libfsalqor.so in $build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target trelk fsalqor >/dev/null

TRELK=$build/trelk/trelk FSAL_DIR=$build/fsalqor MKMEDIUM=$top/qor/qor-mkmedium \
  EXAMPLES=$top/examples exec "$top/tests/e2e/sandbox.sh" "$top/scripts/demo-appliance.sh"

#!/usr/bin/env bash
# Debian's amd64 kernel into the cache (outside the sandbox, which has no network), then
# its NFS client against the appliance.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../lib/qemu-guest.sh"
KERNEL_DIR=$(qg_fetch amd64 depends:linux-image-amd64)
export KERNEL_DIR
exec "$here/sandbox.sh" "$here/product.sh" kernel-client

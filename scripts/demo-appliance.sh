# The product demo, run in throwaway namespaces by scripts/demo.sh: a backup
# appliance whose container serves two backup media over NFSv3.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$top/tests/e2e/appliance.sh"

appliance_workdir qor-demo
step() { printf '\n== %s\n' "$*"; }

step "Packing two sample trees into media (lz4 and zstd) with qor-mkmedium"
appliance_prepare "$W"
( cd "$W/media" && find . -name '*.sqfs' -printf '   %p  %s bytes\n' | sort )

step "A throwaway appliance network: bridge $APPLIANCE_BRIDGE with $APPLIANCE_HOST_ADDR/24"
appliance_network

step "Starting the container: trelk CONF /srv/qor/conf/container-entry.sh (rpcbind, then ganesha.nfsd)"
appliance_start
appliance_wait_ready backup-a
echo "   launcher pid $TRELK_PID; pid file $(basename "$W/run/trelk.pid") holds $(cat "$W/run/trelk.pid")"
echo "   container device: $(nsenter -t "$(server_pid)" -n ip -o -4 addr show dev eth0 | awk '{print $2, $4}')"

step "Listing the exports from outside the container: nfs-ls nfs://$APPLIANCE_SERVER_ADDR/backup-a"
nfs-ls "$(nfs_url backup-a)" | sed 's/^/   /'
nfs-ls "$(nfs_url backup-b/docs)" | sed 's/^/   /'

step "Copying every file out of both exports over NFSv3 and comparing bit for bit"
verify_export backup-a "$W/src/backup-a" "$W/check-a"
verify_export backup-b "$W/src/backup-b" "$W/check-b"
echo "   $(cd "$W/src" && find . -type f | wc -l) files copied, all identical to the sample trees"

step "SIGHUP to the launcher is forwarded to the server"
kill -HUP "$TRELK_PID"
sleep 1
appliance_wait_ready backup-b
echo "   still serving: $(nfs-cat "$(nfs_url backup-b/README.txt)")"

step "SIGTERM to the launcher ends the container"
kill -TERM "$TRELK_PID"
set +e; wait "$TRELK_PID"; rc=$?; set -e
TRELK_PID=
echo "   launcher exit status $rc"
sleep 0.5
left=$( (pgrep -x ganesha.nfsd; pgrep -x rpcbind) || true)
echo "   processes left: ${left:-none}; veth devices left: $(ip -o link show type veth | wc -l);" \
     "pid file: $([ -e "$W/run/trelk.pid" ] && echo present || echo removed)"
[ -z "$left" ] && [ ! -e "$W/run/trelk.pid" ] && [ -z "$(ip -o link show type veth)" ] ||
  fail "something was left behind"
step "Done: nothing left behind"

# The product end to end (through sandbox.sh): clients outside the container read the media.
# usage: product.sh [soak SECONDS CLIENTS | kernel-client (KERNEL_DIR: a Debian kernel)]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/appliance.sh"
. "$here/../lib/qemu-guest.sh"

# reads of random files while the server gets SIGHUP: all right, and memory settles
soak() {
  local end=$(($(date +%s) + $1)) rss0 rss1 reads i hups=0 pids=()
  rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$(server_pid)/status"; }
  mapfile -t files < <(cd "$W/src" && find . -type f | sed 's#^\./##')
  rss0=$(rss)
  for i in $(seq "$2"); do
    (n=0; c=$W/copy-$i; while [ "$(date +%s)" -lt "$end" ]; do
      rel=${files[RANDOM % ${#files[@]}]}
      nfs-cp "$(nfs_url "$rel")" "$c" >/dev/null 2>&1 && cmp -s "$W/src/$rel" "$c" || echo "read of $rel failed or differs"
      [ $((n++ % 10)) -ne 0 ] || [ "$(nfs-ls "$(nfs_url "${rel%%/*}/docs/reports")" | wc -l)" -eq 40 ] || echo "listing failed"
      rm -f "$c"
    done; echo "$n" >"$W/count-$i") >>"$W/errors" &
    pids+=($!)
  done
  while sleep 5 && [ "$(date +%s)" -lt "$end" ]; do kill -HUP "$TRELK_PID" || fail "the launcher is gone"; hups=$((hups + 1)); done
  wait "${pids[@]}"
  rss1=$(rss)
  reads=$(cat "$W"/count-* | awk '{ s += $1 } END { print s }')
  [ ! -s "$W/errors" ] || { head -20 "$W/errors" >&2; fail "clients saw errors ($reads reads, $hups SIGHUPs)"; }
  [ "$reads" -ge "$2" ] || fail "only $reads reads"
  # growth beyond a generous allowance means something leaks per request
  [ $((rss1 - rss0)) -lt 65536 ] || fail "the server grew from $rss0 KiB to $rss1 KiB"
  echo "ok - $2 clients made $reads correct reads in $1 s with $hups SIGHUPs; server $rss0 -> $rss1 KiB"
}

# entry records by export and path, each fileid replaced by the first path that has it
normalized() {
  grep "^E	" | LC_ALL=C sort -t "	" -k2,2 -k8 |
    awk -F'\t' -v OFS='\t' '{ k = $2 SUBSEP $6; if (!(k in first)) first[k] = $8; $6 = first[k]; print }'
}

# The kernel's NFS client in a qemu guest (its user-mode network reaches only the bridge)
# sees the sources' names, modes, sizes, mtimes, contents, links, fileids; writes fail.
kernel_client() {
  local g=$W/guest release port
  port=$(rpcinfo -p "$APPLIANCE_SERVER_ADDR" | awk '$1 == 100005 && $2 == 3 && $3 == "tcp" { print $4; exit }')
  release=$(qg_kernel_release "${KERNEL_DIR:?}")
  qg_busybox_root "$g/root" /bin/busybox
  qg_guest_initramfs "$g/root" "$here/kernel-client-init.sh" "$KERNEL_DIR/lib/modules/$release" "$g/initrd.gz" e1000 nfsv3
  qg_boot "${QEMU_TIMEOUT:-300}" qemu-system-x86_64 -accel tcg -nodefaults -display none -no-reboot -m 512 \
    -kernel "$KERNEL_DIR/boot/vmlinuz-$release" -initrd "$g/initrd.gz" -netdev user,id=n0 -device e1000,netdev=n0 \
    -append "console=ttyS0 rdinit=/init panic=-1 quiet QOR_SERVER=$APPLIANCE_SERVER_ADDR QOR_MOUNTPORT=${port:?no MOUNT v3 over TCP} QOR_EXPORTS=backup-a,backup-b:nordirplus" \
    -serial "file:$g/console.log" -serial "file:$g/results.raw"
  tr -d '\r' <"$g/results.raw" >"$g/results" || true
  grep -qx END "$g/results" || { tail -n 30 "$g/console.log" >&2 || true; fail "the guest did not finish (qemu status $QG_STATUS)"; }
  ! grep -e '^insmod' -e '^M	.*	failed' "$g/results" >&2 || fail "the guest could not load its modules or mount"
  for e in backup-a backup-b; do (cd "$W/src/$e" && sh "$here/kernel-client-init.sh" walk "$e"); done | normalized >"$g/expected"
  normalized <"$g/results" >"$g/listed"
  [ "$(wc -l <"$g/expected")" -gt 100 ] || fail "the source trees gave too few entries"
  diff -u "$g/expected" "$g/listed" | cut -c1-200 | head -n 60 >&2 ||
    fail "the kernel client sees other names, modes, sizes, mtimes, contents, link targets or fileids"
  [ "$(grep -c '^W	.*	refused$' "$g/results")" -eq 22 ] || { grep '^W' "$g/results" >&2; fail "a write was not refused"; }
  echo "ok - the kernel client sees $(wc -l <"$g/listed") entries like the sources, and all 22 writes are refused"
}

# in a tmpfs of this mount namespace, as the build's trees may lie below /tmp
mount -t tmpfs -o size=1g,mode=0755 qor-e2e /run
export TMPDIR=/run
appliance_workdir qor-e2e
appliance_network
appliance_prepare "$W"
appliance_start
appliance_wait_ready backup-a
for e in backup-a backup-b; do verify_export "$e" "$W/src/$e" "$W/copy"; done
case ${1:-} in soak) soak "$2" "$3"; exit ;; kernel-client) kernel_client; exit ;; esac

! nfs-ls "nfs://127.0.0.1/backup-a?version=3" >/dev/null 2>&1 || fail "an NFS server answers outside the container"
pgrep -x ganesha.nfsd >/dev/null && pgrep -x rpcbind >/dev/null || fail "no server or rpcbind to be seen"
kill -TERM "$TRELK_PID"
wait "$TRELK_PID" || true
TRELK_PID=
sleep 0.5
[ -z "$(pgrep -x ganesha.nfsd; pgrep -x rpcbind; ip -o link show type veth; grep " $W" /proc/self/mountinfo)" ] ||
  fail "a process, veth device or mount is left"
echo "ok - both exports read like their sources, only at the container's address; SIGTERM leaves nothing"

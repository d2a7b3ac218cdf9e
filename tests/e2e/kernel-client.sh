#!/usr/bin/env bash
# The client our users mount with: Debian's amd64 kernel boots under qemu, and its own
# NFSv3 client mounts both exports of the appliance (the launcher running the server
# with the plug-in in a container), walks them and tries to write to them. Names,
# modes, sizes, mtimes, contents, link targets and hard-link fileids must match the
# source trees, and every write must be refused.
#
# usage: kernel-client.sh (as root; needs TRELK, FSAL_DIR, MKMEDIUM, EXAMPLES)
# The kernel package is fetched into the cache first; then the script runs again in
# new PID, mount and network namespaces where qemu's user-mode network reaches the
# container's address through the namespace's bridge and nothing else.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../lib/qemu-guest.sh"

QEMU_TIMEOUT=${QEMU_TIMEOUT:-300}

if [ "${KERNEL_CLIENT_INSIDE:-}" != 1 ]; then
	[ "$(id -u)" = 0 ] || qg_die "must run as root"
	t0=$SECONDS
	KERNEL_DIR=$(qg_fetch amd64 depends:linux-image-amd64)
	echo "# kernel package ready in $((SECONDS - t0)) s: $KERNEL_DIR"
	export KERNEL_DIR KERNEL_CLIENT_INSIDE=1
	exec "$here/sandbox.sh" "$0" "$@"
fi

# Everything below lives in a tmpfs of this mount namespace: a killed run leaves
# nothing on the host. It is mounted on /run, as the source and build trees may
# lie below /tmp.
mount -t tmpfs -o size=1g,mode=0755 kernel-client-tmp /run
export TMPDIR=/run
. "$here/appliance.sh"
appliance_workdir qor-kernel-client

# What the sample trees lack: hard links, more modes, a name with spaces, a link
# target of the longest length, fixed old mtimes.
extend_tree() {
	local d=$1
	ln "$d/data/file-4096" "$d/data/hard-1"
	ln "$d/data/file-4096" "$d/docs/hard-2"
	chmod 0600 "$d/data/file-511"
	chmod 4755 "$d/data/file-1"
	chmod 0444 "$d/README.txt"
	mkdir -m 0700 "$d/private"
	echo secret >"$d/private/key"
	mkdir -m 1777 "$d/sticky"
	printf 'spaced\n' >"$d/name with spaces"
	ln -s "$(head -c 4095 /dev/zero | tr '\0' x)" "$d/docs/long-link"
	touch -d '2001-02-03 04:05:06 UTC' "$d/docs/reports/r1.txt"
	touch -h -d '2002-03-04 05:06:07 UTC' "$d/docs/readme-link"
	touch -d '1999-12-31 23:59:59 UTC' "$d/docs" "$d/private"
}

# expected EXPORT DIR: the guest's records for a source tree
expected() {
	local e=$1 p mode size mtime ino data
	(cd "$2" && find . | LC_ALL=C sort | while IFS= read -r p; do
		read -r mode size mtime ino <<<"$(stat -c '%f %s %Y %i' "$p")"
		mode=$(printf '%o' $((16#$mode))) data=-
		if [ -L "$p" ]; then data=$(readlink "$p")
		elif [ -d "$p" ]; then size=-
		elif [ -f "$p" ]; then data=$(md5sum <"$p" | cut -d' ' -f1); fi
		printf 'E\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$e" "$mode" "$size" "$mtime" "$ino" "$data" "$p"
	done)
}

# normalized FILE: entry records by export and path, each fileid replaced by the
# first path that has it (so hard links name the same path on both sides)
normalized() {
	grep '^E	' "$1" | LC_ALL=C sort -t "$(printf '\t')" -k2,2 -k8 |
		awk -F'\t' -v OFS='\t' '{ k = $2 SUBSEP $6; if (!(k in first)) first[k] = $8; $6 = first[k]; print }'
}

appliance_network
appliance_prepare "$W"
extend_tree "$W/src/backup-a"
extend_tree "$W/src/backup-b"
"$MKMEDIUM" -f "$W/src/backup-a" "$W/media" backup-a 1 >/dev/null
"$MKMEDIUM" -f -c zstd "$W/src/backup-b" "$W/media" backup-b 1 >/dev/null
appliance_start
appliance_wait_ready backup-a
mountport=$(rpcinfo -p "$APPLIANCE_SERVER_ADDR" | awk '$1 == 100005 && $2 == 3 && $3 == "tcp" { print $4; exit }')
[ -n "$mountport" ] || fail "no MOUNT v3 over TCP registered at $APPLIANCE_SERVER_ADDR"
say "ok - the appliance serves at $APPLIANCE_SERVER_ADDR, MOUNT on port $mountport"

# The guest: busybox, the network and NFS client modules, the walk.
G=$W/guest
release=$(qg_kernel_release "$KERNEL_DIR")
t0=$SECONDS
qg_busybox_root "$G/root" /bin/busybox
qg_guest_initramfs "$G/root" "$here/kernel-client-init.sh" "$KERNEL_DIR/lib/modules/$release" \
	"$G/initrd.gz" e1000 nfsv3
say "# initramfs of $(wc -l <"$G/root/lib/modules/order") modules made in $((SECONDS - t0)) s"

# qemu's user-mode network connects from this namespace: the guest's connections to
# the container's address go over the bridge, and the namespace has no other route.
qg_boot "$QEMU_TIMEOUT" qemu-system-x86_64 -accel tcg -nodefaults -display none -no-reboot \
	-m 512 -smp 1 -kernel "$KERNEL_DIR/boot/vmlinuz-$release" -initrd "$G/initrd.gz" \
	-append "console=ttyS0 rdinit=/init panic=-1 quiet qor.server=$APPLIANCE_SERVER_ADDR qor.mountport=$mountport qor.exports=backup-a,backup-b:nordirplus" \
	-netdev user,id=n0 -device e1000,netdev=n0 \
	-serial "file:$G/console.log" -serial "file:$G/results.raw"
tr -d '\r' <"$G/results.raw" >"$G/results.txt" 2>/dev/null || : >"$G/results.txt"
qg_stage_times "$G/results.txt"
if ! grep -qx END "$G/results.txt"; then
	tail -n 30 "$G/console.log" >&2 || true
	fail "the guest did not finish (qemu status $QG_STATUS)"
fi
grep '^insmod' "$G/results.txt" >&2 && fail "the guest could not load its modules"

for e in backup-a backup-b; do
	grep -q "^M	$e	ok" "$G/results.txt" || fail "the kernel could not mount /$e: $(grep "^M	$e	" "$G/results.txt")"
	expected "$e" "$W/src/$e" >>"$G/expected.txt"
done
normalized "$G/expected.txt" >"$G/expected.norm"
normalized "$G/results.txt" >"$G/listed.norm"
[ -s "$G/expected.norm" ] || fail "no expected entries"
if ! diff -u "$G/expected.norm" "$G/listed.norm" >"$G/diff"; then
	cut -c1-200 "$G/diff" | head -n 60 >&2
	fail "the kernel client sees other names, modes, sizes, mtimes, contents, link targets or fileids"
fi
say "ok - $(wc -l <"$G/listed.norm") entries of both exports match their source trees (backup-b without READDIRPLUS)"

ops=$(grep -c '^W	' "$G/results.txt" || true)
[ "$ops" -eq 22 ] || fail "expected 22 write attempts, the guest made $ops"
if grep '^W	' "$G/results.txt" | grep -v '	refused	' >&2; then
	fail "a write through the kernel client was allowed"
fi
say "ok - all $ops writes (create, mkdir, symlink, link, append, truncate, chmod, touch, rename, remove, rmdir) were refused"

#!/usr/bin/env bash
# usage (as root): mips64el-kernel.sh [loongson3|malta]. Boots Debian's mips64el kernel
# with an initramfs holding the cross-built trelk (TRELK_MIPS64EL, else built in
# MIPS_BUILD_DIR) and busybox; target-checks.sh prints the verdict this script reads.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../lib/qemu-guest.sh"
MACHINE=${1:-loongson3}
TRIPLET=mips64el-linux-gnuabi64
QOR_MIPS_SYSROOT=${QOR_MIPS_SYSROOT:-/var/cache/qor-cross/mips64el/sysroot}
MIPS_BUILD_DIR=${MIPS_BUILD_DIR:-$QG_TOP/build-mips64el}
case $MACHINE in
# loongson3-virt gives the kernel no random seed: without virtio-rng the
# launcher's getrandom() for the veth names blocks for a long time
loongson3) kernel_pkg=depends:linux-image-loongson-3 modules=(bridge veth virtio_pci virtio-rng)
	qemu_machine=(-M loongson3-virt -cpu Loongson-3A1000 -m 1024 -device virtio-rng-pci) ;;
malta) kernel_pkg=depends:linux-image-5kc-malta modules=(bridge veth) qemu_machine=(-M malta -cpu 5KEc -m 512) ;;
*) qg_die "unknown machine '$MACHINE' (loongson3 or malta)" ;;
esac

if [ "${MIPS_KERNEL_INSIDE:-}" != 1 ]; then
	[ -n "${TRELK_MIPS64EL:-}" ] || MIPS_BUILD_DIR=$MIPS_BUILD_DIR QOR_MIPS_SYSROOT=$QOR_MIPS_SYSROOT \
		"$QG_TOP/scripts/build-mips64el.sh" trelk >/dev/null || qg_die "the cross build failed"
	TRELK_MIPS64EL=${TRELK_MIPS64EL:-$MIPS_BUILD_DIR/trelk/trelk}
	KERNEL_DIR=$(qg_fetch mips64el "$kernel_pkg")
	BUSYBOX_DIR=$(qg_fetch mips64el busybox-static)
	export KERNEL_DIR BUSYBOX_DIR TRELK_MIPS64EL QOR_MIPS_SYSROOT MIPS_KERNEL_INSIDE=1
	# qemu ends with this PID namespace; the work directory is a private tmpfs
	exec unshare --pid --fork --mount-proc --mount --net --propagation private bash "$0" "$@"
fi
mount -t tmpfs -o size=512m,mode=0700 mips64el-kernel /run
G=/run/guest R=/run/guest/root

# copy_needed_libs ELF: the libraries ELF needs (and theirs), from the sysroot into R
copy_needed_libs() {
	local lib d
	for lib in $(qg_elf_dynamic "$1" NEEDED); do
		for d in lib/$TRIPLET usr/lib/$TRIPLET lib64 usr/lib64 ''; do [ -e "$QOR_MIPS_SYSROOT/$d/$lib" ] && break; done
		[ -n "$d" ] || qg_die "$lib (needed by $(basename "$1")) is not in the sysroot"
		[ ! -e "$R/$d/$lib" ] || continue
		mkdir -p "$R/$d" && cp -L "$QOR_MIPS_SYSROOT/$d/$lib" "$R/$d/$lib"
		copy_needed_libs "$QOR_MIPS_SYSROOT/$d/$lib"
	done
}

release=$(qg_kernel_release "$KERNEL_DIR")
qg_busybox_root "$R" "$BUSYBOX_DIR/bin/busybox"
mkdir -p "$R/usr/bin"
"$TRIPLET-strip" -o "$R/usr/bin/trelk" "$TRELK_MIPS64EL" 2>/dev/null || cp "$TRELK_MIPS64EL" "$R/usr/bin/trelk"
interp=$(qg_elf_interpreter "$TRELK_MIPS64EL")
[ -n "$interp" ] || qg_die "$TRELK_MIPS64EL has no program interpreter"
mkdir -p "$R$(dirname "$interp")" && cp -L "$QOR_MIPS_SYSROOT$interp" "$R$interp"
copy_needed_libs "$TRELK_MIPS64EL"
qg_guest_initramfs "$R" "$here/target-checks.sh" "$KERNEL_DIR/lib/modules/$release" "$G/initrd.gz" "${modules[@]}"
qg_boot "${QEMU_TIMEOUT:-400}" qemu-system-mips64el "${qemu_machine[@]}" -smp 1 -vga none -nic none \
	-display none -monitor none -no-reboot -serial "file:$G/console.log" \
	-kernel "$KERNEL_DIR/boot/vmlinuz-$release" -initrd "$G/initrd.gz" \
	-append "console=ttyS0 rdinit=/init panic=-1 quiet"
tr -d '\r' <"$G/console.log" | grep -E '^(not ok|#|T|trelk-checks:) ' >"$G/results" || true
grep -E '^(not ok|#) ' "$G/results" || true
qg_stage_times "$G/results"
verdict=$(sed -n 's/^trelk-checks: \([1-9][0-9]*\) passed, 0 failed$/\1/p' "$G/results")
[ -n "$verdict" ] && ! grep -q '^not ok' "$G/results" || { tail -n 30 "$G/console.log" >&2
	qg_die "no passing verdict from the $MACHINE guest (qemu status $QG_STATUS)"; }
echo "# all $verdict checks passed on the $MACHINE kernel"

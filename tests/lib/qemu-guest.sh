# shellcheck shell=bash
# Pieces for tests that run programs of another machine under qemu: what an ELF
# object says of itself, and for booting a Debian kernel with a small initramfs,
# kernel modules in load order, the initramfs itself, the boot and its times.
#
#   . "$(dirname "$0")/../lib/qemu-guest.sh"

QG_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

qg_die() { echo "qemu-guest: $*" >&2; exit 1; }

# qg_fetch ARCH PKG: unpacks a Debian package into the cache and prints its directory
# (PKG may be depends:META, see scripts/fetch-debs.sh).
qg_fetch() {
	local out
	out=$("$QG_TOP/scripts/fetch-debs.sh" "$1" "$2") || qg_die "could not fetch $2 for $1"
	echo "${out#* }"
}

# qg_elf FILE FIELD: a field of FILE's ELF header (Class, Data, Machine, ...)
qg_elf() {
	LC_ALL=C readelf -h "$1" 2>/dev/null | awk -F: -v k="$2" '$1 ~ k { gsub(/^ +/, "", $2); print $2; exit }'
}

# qg_elf_interpreter FILE: the program interpreter FILE names
qg_elf_interpreter() { LC_ALL=C readelf -l "$1" | sed -n 's/.*program interpreter: \(.*\)\]/\1/p'; }

# qg_elf_dynamic FILE TAG: the values of FILE's dynamic entries TAG (NEEDED, RUNPATH)
qg_elf_dynamic() { LC_ALL=C readelf -d "$1" | sed -n "s/.*($2).*\[\(.*\)\]/\1/p"; }

# qg_kernel_release DIR: the release of the one kernel unpacked in DIR
qg_kernel_release() {
	local d
	for d in "$1"/lib/modules/*/; do [ -d "$d" ] && basename "$d" && return 0; done
	qg_die "no modules in $1"
}

# qg_modules MODDIR MODULE...: the .ko files of the modules and of everything they
# depend on, in an order insmod accepts (dependencies first). A small initramfs has
# no modules.dep, so the order comes from each module's own "depends=" field.
qg_modules() {
	local dir=$1
	shift
	local index
	index=$(find "$dir" -name '*.ko' | awk -F/ '{ n = $NF; sub(/\.ko$/, "", n); gsub(/-/, "_", n); print n, $0 }')
	local -A seen=()
	_qg_visit() {
		local m=${1//-/_} path dep
		[ -n "${seen[$m]:-}" ] && return 0
		seen[$m]=1
		path=$(awk -v m="$m" '$1 == m { print $2; exit }' <<<"$index")
		[ -n "$path" ] || qg_die "no module $m under $dir"
		for dep in $(strings -a "$path" | sed -n 's/^depends=//p' | tr ',' ' '); do
			_qg_visit "$dep"
		done
		echo "$path"
	}
	local m
	for m in "$@"; do _qg_visit "$m"; done
}

# qg_initramfs DIR OUT: packs DIR as a gzip-compressed newc initramfs, owned by root
qg_initramfs() {
	(cd "$1" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$2" ||
		qg_die "could not pack the initramfs"
}

# qg_busybox_root DIR BUSYBOX: the skeleton of an initramfs root with a static busybox
qg_busybox_root() {
	local r=$1
	mkdir -p "$r/bin" "$r/dev" "$r/proc" "$r/sys" "$r/mnt" "$r/tmp" "$r/lib/modules"
	cp "$2" "$r/bin/busybox"
	ln -s busybox "$r/bin/sh"
	# the kernel opens /dev/console for /init before anything can mount devtmpfs
	mknod -m 600 "$r/dev/console" c 5 1
	mknod -m 666 "$r/dev/null" c 1 3
}

# qg_guest_initramfs ROOT INIT MODDIR OUT MODULE...: puts the modules with all they
# depend on into ROOT/lib/modules, their load order into ROOT/lib/modules/order and
# INIT as ROOT/init, and packs ROOT into OUT
qg_guest_initramfs() {
	local r=$1 init=$2 moddir=$3 out=$4 mods m
	shift 4
	mods=$(qg_modules "$moddir" "$@") || qg_die "kernel modules missing"
	for m in $mods; do cp "$m" "$r/lib/modules/"; basename "$m"; done >"$r/lib/modules/order"
	install -m 0755 "$init" "$r/init"
	qg_initramfs "$r" "$out"
}

# qg_boot SECONDS QEMU_COMMAND...: runs the emulated machine for at most SECONDS and
# leaves its exit status in QG_STATUS (the guest's results are its to write)
qg_boot() {
	local limit=$1 t0=$SECONDS
	shift
	QG_STATUS=0
	timeout -k 10 "$limit" "$@" </dev/null || QG_STATUS=$?
	echo "# qemu ran $((SECONDS - t0)) s (status $QG_STATUS)"
}

# qg_stage_times FILE: prints the guest's "T STAGE UPTIME" lines as a time table
qg_stage_times() {
	awk '$1 == "T" { printf "# guest at %6.1f s: %s\n", $3, $2 }' "$1"
}

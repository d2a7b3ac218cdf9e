# shellcheck shell=bash
# For programs of another machine under qemu: ELF headers, a Debian kernel with an initramfs

QG_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

qg_die() { echo "qemu-guest: $*" >&2; exit 1; }

# qg_fetch ARCH PKG: unpacks a Debian package (or depends:META) into the cache, prints where
qg_fetch() { local o; o=$("$QG_TOP/scripts/fetch-debs.sh" "$1" "$2") || qg_die "could not fetch $2 for $1"; echo "${o#* }"; }

# qg_elf FILE FIELD (Class, Data, Machine); qg_elf_dynamic FILE TAG (NEEDED, RUNPATH)
qg_elf() { LC_ALL=C readelf -h "$1" 2>/dev/null | awk -F: -v k="$2" '$1 ~ k { gsub(/^ +/, "", $2); print $2; exit }'; }
qg_elf_interpreter() { LC_ALL=C readelf -l "$1" | sed -n 's/.*program interpreter: \(.*\)\]/\1/p'; }
qg_elf_dynamic() { LC_ALL=C readelf -d "$1" | sed -n "s/.*($2).*\[\(.*\)\]/\1/p"; }

qg_kernel_release() { local d=("$1"/lib/modules/*/); [ -d "${d[0]}" ] || qg_die "no modules in $1"; basename "${d[0]}"; }

# qg_modules MODDIR MODULE...: the modules' .ko files and all they depend on, dependencies
# first (from each module's "depends=": a small initramfs has no modules.dep)
qg_modules() {
	local dir=$1 m
	shift
	local -A seen=()
	_qg_visit() {
		local m=${1//-/_} path dep
		[ -z "${seen[$m]:-}" ] || return 0
		seen[$m]=1
		path=$(find "$dir" \( -name "$m.ko" -o -name "${m//_/-}.ko" \) -print -quit)
		[ -n "$path" ] || qg_die "no module $m under $dir"
		for dep in $(strings -a "$path" | sed -n 's/^depends=//p' | tr ',' ' '); do _qg_visit "$dep"; done
		echo "$path"
	}
	for m in "$@"; do _qg_visit "$m"; done
}

qg_busybox_root() {
	local r=$1
	mkdir -p "$r/bin" "$r/dev" "$r/proc" "$r/sys" "$r/mnt" "$r/tmp" "$r/lib/modules"
	cp "$2" "$r/bin/busybox"
	ln -s busybox "$r/bin/sh"
	# the kernel opens /dev/console for /init before anything can mount devtmpfs
	mknod -m 600 "$r/dev/console" c 5 1
	mknod -m 666 "$r/dev/null" c 1 3
}

# qg_guest_initramfs ROOT INIT MODDIR OUT MODULE...: ROOT, modules and /init packed into OUT
qg_guest_initramfs() {
	local r=$1 init=$2 moddir=$3 out=$4 mods m
	shift 4
	mods=$(qg_modules "$moddir" "$@") || qg_die "kernel modules missing"
	for m in $mods; do cp "$m" "$r/lib/modules/"; basename "$m"; done >"$r/lib/modules/order"
	install -m 0755 "$init" "$r/init"
	(cd "$r" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$out" ||
		qg_die "could not pack the initramfs"
}

# qg_boot SECONDS QEMU_COMMAND...: runs the machine for at most SECONDS; status in QG_STATUS
qg_boot() { QG_STATUS=0; timeout -k 10 "$1" "${@:2}" </dev/null || QG_STATUS=$?; }

qg_stage_times() { awk '$1 == "T" { printf "# guest at %6.1f s: %s\n", $3, $2 }' "$1"; }

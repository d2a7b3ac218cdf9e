#!/usr/bin/env bash
# The packages cpack makes from BUILD_DIR, in the /run of sandbox.sh's mount namespace. installed:
# dpkg installs them into an overlay of this machine's root and the product runs from them.
# contents: a cross build's (QEMU, QOR_MIPS_SYSROOT), the objects inside, trelk under qemu-user.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../lib/nfs-harness.sh"	# check, check_eq, done_testing
. "$here/../lib/qemu-guest.sh"	# qg_elf*

installed() {
	local R=$S/root d plugins
	mkdir "$S/upper" "$S/work" "$R"
	mount -t overlay qor-packages-root -o "lowerdir=/,upperdir=$S/upper,workdir=$S/work" "$R"
	for d in dev proc sys; do mount --rbind "/$d" "$R/$d"; done
	for d in run tmp; do mount -t tmpfs tmpfs "$R/$d"; done
	cp -r "$S"/debs/*.deb "${here%/*}" "$R/tmp/"
	check "dpkg installs both packages (their dependencies are met)" chroot "$R" sh -c 'dpkg -i /tmp/*.deb'
	check "the launcher is installed in the overlay, not on the host" test -x "$R/usr/bin/trelk" -a ! -e /usr/bin/trelk
	plugins=$(sed -n 's/^\s*Plugins_Dir = "\(.*\)";/\1/p' "$R/usr/share/trelk/examples/ganesha.conf")
	check "the plug-in lies in the directory the example names ($plugins)" test -f "$R$plugins/libfsalqor.so"
	check "the appliance runs from the installed files" chroot "$R" env TRELK=/usr/bin/trelk FSAL_DIR="$plugins" \
		MKMEDIUM=/usr/bin/qor-mkmedium EXAMPLES=/usr/share/trelk/examples bash /tmp/tests/e2e/product.sh
}

files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort | tr '\n' ' '; }

contents() {
	local trelk plugin ganesha f rc=0 usage t=mips64el-linux-gnuabi64 ex=./usr/share/trelk/examples
	trelk=$(echo "$S"/debs/trelk_*_mips64el.deb)
	plugin=$(echo "$S"/debs/nfs-ganesha-qor_*_mips64el.deb)
	check_eq "both packages are for mips64el" "mips64el mips64el" \
		"$(dpkg-deb -f "$trelk" Architecture) $(dpkg-deb -f "$plugin" Architecture)"
	ganesha=$(awk '$1 == "nfs-ganesha" && $3 == "/usr/lib/ganesha/libganesha_nfsd.so.4.3" { print $2 }' \
		"$QOR_MIPS_SYSROOT/.qor-dpkg/files")
	# whole outputs: dpkg-deb cut off by a closed pipe leaves its scratch folder behind
	check "nfs-ganesha-qor depends on exactly the sysroot's server ($ganesha)" \
		grep -qF "nfs-ganesha (= ${ganesha:-?})" <<<"$(dpkg-deb -I "$plugin")"
	check "trelk depends on ACE and the C library" grep -Eq 'Depends: .*libace-[0-9.]+ .*libc6 ' <<<"$(dpkg-deb -I "$trelk")"
	check_eq "trelk: files" "./usr/bin/qor-mkmedium ./usr/bin/trelk $ex/container-entry.sh $ex/ganesha.conf \
$ex/make-root.sh $ex/trelk.json " "$(files "$trelk")"
	check_eq "nfs-ganesha-qor: files" "./usr/lib/$t/ganesha/libfsalqor.so " "$(files "$plugin")"
	for f in "$trelk" "$plugin"; do dpkg-deb -x "$f" "$S/x"; done
	for f in "$S/x/usr/bin/trelk" "$S/x/usr/lib/$t/ganesha/libfsalqor.so"; do
		check_eq "${f#"$S"/x/}: stripped 64-bit little-endian MIPS code" \
			"ELF64|2's complement, little endian|MIPS R3000|1 0" "$(qg_elf "$f" Class)|$(qg_elf "$f" Data)|$(qg_elf "$f" Machine)|$(
				LC_ALL=C readelf -S "$f" | grep -c ' \.text ') $(LC_ALL=C readelf -S "$f" | grep -c ' \.debug_')"
	done
	check_eq "trelk: the target's loader" /lib64/ld.so.1 "$(qg_elf_interpreter "$S/x/usr/bin/trelk")"
	check_eq "the plug-in finds the server's library where the target has it" /usr/lib/ganesha \
		"$(qg_elf_dynamic "$S/x/usr/lib/$t/ganesha/libfsalqor.so" RUNPATH)"
	check "the example names the target's plug-in directory" \
		grep -q "Plugins_Dir = \"/usr/lib/$t/ganesha\"" "$S/x/usr/share/trelk/examples/ganesha.conf"
	usage=$("$QEMU" -L "$QOR_MIPS_SYSROOT" "$S/x/usr/bin/trelk" 2>&1 >/dev/null) || rc=$?
	check "the packaged trelk runs under qemu-user: a missing CONF gets its usage (status $rc)" \
		test "$rc" != 0 -a "$rc" -lt 126 -a -n "$(grep "CONF COMMAND" <<<"$usage")"
}

[[ ${1:-} =~ ^(installed|contents)$ ]] || { echo "usage: packages.sh installed|contents BUILD_DIR" >&2; exit 2; }
mount -t tmpfs -o mode=0755 qor-packages /run
S=/run/qor-packages
NFSH_WORK=$S	# the checks' record of client failures
mkdir -p "$S/debs"
(cd "${2:?usage: packages.sh installed|contents BUILD_DIR}" && cpack -G DEB -B "$S/debs" >/dev/null)
"$1"
done_testing

#!/usr/bin/env bash
# The packages cpack makes from a cross build (BUILD_DIR, QEMU, QOR_MIPS_SYSROOT), in sandbox.sh's
# namespaces: lintian accepts them, the objects inside, trelk under qemu-user.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../lib/nfs-harness.sh"	# check, check_eq, done_testing
. "$here/../lib/qemu-guest.sh"	# qg_elf*

files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort | tr '\n' ' '; }

contents() {
	local trelk plugin ganesha f rc=0 usage t=mips64el-linux-gnuabi64 ex=./usr/libexec/trelk
	trelk=$(echo "$S"/debs/trelk_*_mips64el.deb)
	plugin=$(echo "$S"/debs/nfs-ganesha-qor_*_mips64el.deb)
	check "lintian: no error or warning on either package" lintian --fail-on error,warning "$trelk" "$plugin"
	check_eq "both packages are for mips64el" "mips64el mips64el" \
		"$(dpkg-deb -f "$trelk" Architecture) $(dpkg-deb -f "$plugin" Architecture)"
	ganesha=$(awk '$1 == "nfs-ganesha" && $3 == "/usr/lib/ganesha/libganesha_nfsd.so.4.3" { print $2 }' \
		"$QOR_MIPS_SYSROOT/.qor-dpkg/files")
	# whole outputs: dpkg-deb cut off by a closed pipe leaves its scratch folder behind
	check "nfs-ganesha-qor depends on the sysroot's server ($ganesha) or a stable update of it" \
		grep -qF "nfs-ganesha (>= ${ganesha:-?}), nfs-ganesha (<< ${ganesha%-*}+~)" <<<"$(dpkg-deb -I "$plugin")"
	check_eq "trelk depends on ACE and the C library" "libace- libc6 " \
		"$(dpkg-deb -f "$trelk" Depends | tr , '\n' | grep -Eo '^ ?(libace-|libc6 )' | tr -d ' ' | sort | tr '\n' ' ')"
	check "trelk: the service's configuration, unit and scripts" grep -qF "./etc/qor/ganesha.conf ./etc/qor/trelk.json \
./lib/systemd/system/qor-appliance.service ./usr/bin/qor-mkmedium ./usr/bin/trelk $ex/container-entry.sh $ex/make-root.sh \
$ex/qor-appliance " <<<"$(files "$trelk")"
	check "nfs-ganesha-qor: the plug-in" grep -qF "./usr/lib/$t/ganesha/libfsalqor.so " <<<"$(files "$plugin")"
	for f in "$trelk" "$plugin"; do dpkg-deb -x "$f" "$S/x"; done
	for f in "$S/x/usr/bin/trelk" "$S/x/usr/lib/$t/ganesha/libfsalqor.so"; do
		check_eq "${f#"$S"/x/}: stripped 64-bit little-endian MIPS code" \
			"ELF64|2's complement, little endian|MIPS R3000|1 0" "$(qg_elf "$f" Class)|$(qg_elf "$f" Data)|$(qg_elf "$f" Machine)|$(
				LC_ALL=C readelf -S "$f" | grep -c ' \.text ') $(LC_ALL=C readelf -S "$f" | grep -c ' \.debug_')"
	done
	check_eq "trelk: the target's loader" /lib64/ld.so.1 "$(qg_elf_interpreter "$S/x/usr/bin/trelk")"
	check_eq "the plug-in finds the server's library where the target has it" /usr/lib/ganesha \
		"$(qg_elf_dynamic "$S/x/usr/lib/$t/ganesha/libfsalqor.so" RUNPATH)"
	check "the server's configuration names the target's plug-in directory" \
		grep -q "Plugins_Dir = \"/usr/lib/$t/ganesha\"" "$S/x/etc/qor/ganesha.conf"
	usage=$("$QEMU" -L "$QOR_MIPS_SYSROOT" "$S/x/usr/bin/trelk" 2>&1 >/dev/null) || rc=$?
	check "the packaged trelk runs under qemu-user: a missing CONF gets its usage (status $rc)" \
		test "$rc" != 0 -a "$rc" -lt 126 -a -n "$(grep "CONF COMMAND" <<<"$usage")"
}

mount -t tmpfs -o mode=0755 qor-packages /run
S=/run/qor-packages
NFSH_WORK=$S	# the checks' record of client failures
mkdir -p "$S/debs"
(cd "${1:?usage: packages.sh BUILD_DIR}" && cpack -G DEB -B "$S/debs" >/dev/null)
contents
done_testing

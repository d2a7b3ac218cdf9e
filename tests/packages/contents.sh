#!/usr/bin/env bash
# The mips64el packages, made from the cross build: what dpkg-deb -I and -c say
# of them, and that the objects inside are mips64el objects for the target's
# loader and server; the packaged launcher starts under qemu-user.
# Run through tests/e2e/sandbox.sh (its scratch space ends with the test).
# usage: contents.sh BUILD_DIR   (QEMU and QOR_MIPS_SYSROOT in the environment)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?usage: contents.sh BUILD_DIR}
: "${QEMU:?}" "${QOR_MIPS_SYSROOT:?}"
. "$here/lib.sh"
. "$here/../lib/qemu-guest.sh"	# qg_elf*

packages_make "$build"
trelk=$(echo "$S"/debs/trelk_*_mips64el.deb)
plugin=$(echo "$S"/debs/nfs-ganesha-qor_*_mips64el.deb)
check "the packages are named for mips64el" test -f "$trelk" -a -f "$plugin"

triplet=mips64el-linux-gnuabi64
check_eq "trelk: Architecture" mips64el "$(dpkg-deb -f "$trelk" Architecture)"
check_eq "nfs-ganesha-qor: Architecture" mips64el "$(dpkg-deb -f "$plugin" Architecture)"
ganesha=$(awk '$1 == "nfs-ganesha" && $3 == "/usr/lib/ganesha/libganesha_nfsd.so.4.3" { print $2 }' \
	"$QOR_MIPS_SYSROOT/.qor-dpkg/files")
check "the sysroot's server version is known ($ganesha)" test -n "$ganesha"
# (whole outputs: dpkg-deb cut off by a closed pipe leaves its scratch directory behind)
plugin_info=$(dpkg-deb -I "$plugin")
trelk_info=$(dpkg-deb -I "$trelk")
check "nfs-ganesha-qor depends on exactly the server it was built against" \
	grep -qF "nfs-ganesha (= $ganesha)" <<<"$plugin_info"
check "trelk depends on ACE and the C library" \
	grep -Eq 'Depends: .*libace-[0-9.]+ .*libc6 ' <<<"$trelk_info"

files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort | tr '\n' ' '; }
check_eq "trelk: files" "./usr/bin/qor-mkmedium ./usr/bin/trelk ./usr/share/trelk/examples/container-entry.sh \
./usr/share/trelk/examples/ganesha.conf ./usr/share/trelk/examples/make-root.sh ./usr/share/trelk/examples/trelk.json " \
	"$(files "$trelk")"
check_eq "nfs-ganesha-qor: files" "./usr/lib/$triplet/ganesha/libfsalqor.so " "$(files "$plugin")"

mkdir "$S/x"
dpkg-deb -x "$trelk" "$S/x"
dpkg-deb -x "$plugin" "$S/x"
for f in usr/bin/trelk "usr/lib/$triplet/ganesha/libfsalqor.so"; do
	check_eq "$f: 64-bit little-endian MIPS" "ELF64|2's complement, little endian|MIPS R3000" \
		"$(qg_elf "$S/x/$f" Class)|$(qg_elf "$S/x/$f" Data)|$(qg_elf "$S/x/$f" Machine)"
	check_eq "$f: code, and no debugging information (stripped)" "1 0" \
		"$(LC_ALL=C readelf -S "$S/x/$f" | grep -c ' \.text ') $(LC_ALL=C readelf -S "$S/x/$f" | grep -c ' \.debug_')"
done
check_eq "trelk: the target's loader" "/lib64/ld.so.1" \
	"$(qg_elf_interpreter "$S/x/usr/bin/trelk")"
check_eq "the plug-in finds the server's library where the target has it" "/usr/lib/ganesha" \
	"$(qg_elf_dynamic "$S/x/usr/lib/$triplet/ganesha/libfsalqor.so" RUNPATH)"
check "the example names the target's plug-in directory" \
	grep -q "Plugins_Dir = \"/usr/lib/$triplet/ganesha\"" "$S/x/usr/share/trelk/examples/ganesha.conf"
set +e
usage=$("$QEMU" -L "$QOR_MIPS_SYSROOT" "$S/x/usr/bin/trelk" 2>&1 >/dev/null)
rc=$?
set -e
check "the packaged trelk runs under qemu-user and refuses a missing CONF (status $rc)" test "$rc" != 0 -a "$rc" -lt 126
check "and prints its usage" grep -q "CONF COMMAND" <<<"$usage"
done_testing

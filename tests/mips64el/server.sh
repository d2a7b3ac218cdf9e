#!/usr/bin/env bash
# Debian's mips64el ganesha.nfsd under qemu-user serves a medium with the cross-built plug-in to
# the build machine's nfsq, against the host's FSAL_VFS on the source. Needs NFSQ, FSALQOR, QEMU, QOR_MIPS_SYSROOT.
set -euo pipefail
. "$(dirname "$0")/../lib/nfs-harness.sh"
. "$(dirname "$0")/../lib/qemu-guest.sh"	# qg_elf
nfsh_enter_qor "$@"
server=${QOR_MIPS_SYSROOT:?}/usr/bin/ganesha.nfsd
check_eq "the server and the plug-in are MIPS, the client the build machine's" \
	"MIPS R3000 MIPS R3000 $(qg_elf /bin/sh Machine)" "$(qg_elf "$server" Machine) $(qg_elf "$FSALQOR" Machine) $(qg_elf "$NFSQ" Machine)"

python3 "$NFSH_LIB/mktree.py" "$T" sizes sparse links names modes empty nested
nfsh_pack "$T" "$M" target 1 zstd
nfsh_export_vfs 1 "$T" /vfs | nfsh_conf
check "the host's server starts (reference)" nfsh_start
nfsq -j 4 "$T" walk >"$NFSH_WORK/vfs"
nfsh_stop
NFSH_SERVER=("${QEMU:?}" -L "$QOR_MIPS_SYSROOT" "$server")
NFSH_START_SECONDS=120
nfsh_export_qor 2 /qor "$M" target 1 | nfsh_conf
check "the mips64el server starts with the mips64el plug-in" nfsh_start
check_eq "the serving process is the emulator" "$(readlink -f "$QEMU")" "$(readlink -f "/proc/$NFSH_SERVER_PID/exe")"
nfsq -j 4 /qor walk >"$NFSH_WORK/qor"
# a directory's size is its filesystem's own; owners and link counts are not served
norm() { awk -F'\t' -v OFS='\t' '{ if ($2 == "dir") $4 = "-"; print $1, $2, $3, $4, $5, $12 }' "$1"; }
check "the reference walk saw the tree" test "$(wc -l <"$NFSH_WORK/vfs")" -gt 50
check_eq "every path, type, mode, size, mtime, link target and content hash agree" "" \
	"$(diff <(norm "$NFSH_WORK/vfs") <(norm "$NFSH_WORK/qor") | head -20)"
check_eq "a read from an odd offset in small pieces, pipelined" "$(tail -c +70000 "$T/multi-block" | head -c 99999 | md5sum)" \
	"$(nfsq -j 3 -c 4096 /qor pread multi-block 69999 99999 | md5sum)"
check "the mips64el server stops on SIGTERM" nfsh_stop
done_testing

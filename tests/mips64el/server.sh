#!/usr/bin/env bash
# The plug-in on the target: Debian's mips64el ganesha.nfsd runs under qemu-user,
# loads the cross-built libfsalqor.so and serves a medium; the build machine's
# NFSv3 client walks, stats and reads it. The reference is the host's own server
# exporting the source tree through FSAL_VFS, walked by the same client.
#
# Needs NFSQ (an amd64 nfsq), FSALQOR (the mips64el plug-in), QEMU
# (qemu-mips64el-static) and QOR_MIPS_SYSROOT (holding usr/bin/ganesha.nfsd).
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
. "$(dirname "$0")/../lib/qemu-guest.sh"	# qg_elf
nfsh_enter_qor "$@"
: "${QEMU:?set QEMU to qemu-mips64el-static}" "${QOR_MIPS_SYSROOT:?set QOR_MIPS_SYSROOT}"
TARGET_SERVER=$QOR_MIPS_SYSROOT/usr/bin/ganesha.nfsd

check_eq "the server is a MIPS program" "MIPS R3000" "$(qg_elf "$TARGET_SERVER" Machine)"
check_eq "the plug-in is a MIPS object" "MIPS R3000" "$(qg_elf "$FSALQOR" Machine)"
check_eq "the client is the build machine's" "$(qg_elf /bin/sh Machine)" "$(qg_elf "$NFSQ" Machine)"

python3 "$NFSH_LIB/mktree.py" "$T" sizes sparse links names modes mtimes empty nested
nfsh_pack "$T" "$M" target 1 zstd

nfsh_export_vfs 1 "$T" /vfs | nfsh_conf
check "the host's server starts (reference)" nfsh_start
"$NFSQ" -j 4 "$T" walk >"$NFSH_WORK/vfs.walk"
check "the host's server stops" nfsh_stop

NFSH_SERVER=("$QEMU" -L "$QOR_MIPS_SYSROOT" "$TARGET_SERVER")
NFSH_START_SECONDS=120
nfsh_export_qor 2 /qor "$M" target 1 | nfsh_conf
check "the mips64el server starts with the mips64el plug-in" nfsh_start
check_eq "the serving process is the emulator" "$(readlink -f "$QEMU")" "$(readlink -f "/proc/$NFSH_SERVER_PID/exe")"
"$NFSQ" -j 4 /qor walk >"$NFSH_WORK/qor.walk"

# columns: path type mode size mtime atime ctime nlink uid gid fileid target/hash;
# a directory's size is its filesystem's own, owners and link counts are not served
normalise() { awk -F'\t' -v OFS='\t' '{ if ($2 == "dir") $4 = "-"; print $1, $2, $3, $4, $5, $12 }' "$1"; }
check "the reference walk saw the tree" test "$(wc -l <"$NFSH_WORK/vfs.walk")" -gt 50
check_eq "listing: every path, type, mode, size, mtime, link target and content hash agree" "" \
	"$(diff <(normalise "$NFSH_WORK/vfs.walk") <(normalise "$NFSH_WORK/qor.walk") | head -20)"

bad=
for f in size-0 size-1 size-4097 multi-block sparse all-hole text links/hard-a level0/level1/level2/level3/level4/level5/level6/level7/level8/level9/level10/level11/deep-file; do
	[ "$(src_stat "$T/$f")" = "$(nfs_stat "$("$NFSQ" /qor stat "$f")")" ] || bad+="$f "
done
check_eq "stat: type, mode, size and mtime of files match the source" "" "$bad"
check_eq "readlink matches the source" "$(readlink "$T/links/dangling")" "$("$NFSQ" /qor readlink links/dangling)"
check_eq "read: a multi-block file, pipelined, byte for byte" "same" \
	"$(cmp "$T/multi-block" <("$NFSQ" -j 8 -c 16384 /qor pread multi-block 0 100000000) && echo same)"
check_eq "read: from an odd offset" "$(tail -c +70000 "$T/multi-block" | head -c 99999 | md5sum)" \
	"$("$NFSQ" -j 3 -c 4096 /qor pread multi-block 69999 99999 | md5sum)"
check "the mips64el server stops on SIGTERM" nfsh_stop
done_testing

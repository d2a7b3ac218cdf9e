#!/usr/bin/env bash
# Through the real server: refused media and configurations, export_path's confinement, forged
# and foreign handles, handles and fileids across restarts and a replaced image.
set -euo pipefail
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

T2=$NFSH_WORK/tree2
python3 "$NFSH_LIB/mktree.py" "$T" sizes links nested specials
mkdir -p "$T/data/sub"
echo "inside data" >"$T/data/sub/file"
ln "$T/data/sub/file" "$T/linked-out"	# one file: a name inside export_path, one outside
python3 "$NFSH_LIB/mktree.py" "$T2" sizes
nfsh_pack "$T" "$M" minor-a 1 lz4
nfsh_pack "$T2" "$M" minor-b 7 zstd
echo "not an image" >"$M/minor-a/5.sqfs"
mkdir "$M/minor-c"	# from a tar stream: no export table
tar -C "$T2" -cf - . | tar2sqfs -q -c lz4 "$M/minor-c/3.sqfs" >/dev/null
deep=$(printf "/%0255d" {1..15})/$(printf "%0253d" 0)	# 4094 bytes: with a slash, the longest export_path
mkdir -p "$NFSH_WORK/tree3" "$M/minor-d"
(cd "$NFSH_WORK/tree3" && for c in ${deep//\// }; do mkdir "$c" && cd "$c"; done && echo "at the limit" >f)
tar -C "$NFSH_WORK/tree3" -cf - . | tar2sqfs -q -c lz4 "$M/minor-d/1.sqfs" >/dev/null
inode() { rdsquashfs -s "$1" "${2:-$M/minor-a/1.sqfs}" | awk -F': ' '$1 == "Inode number" { print $2 }'; }
# A damaged entry: /pub/a's entry keeps a file's type but names /secret's directory inode.
mkdir -p "$NFSH_WORK/tree5/pub" "$NFSH_WORK/tree5/secret"
echo a >"$NFSH_WORK/tree5/pub/a" && echo top >"$NFSH_WORK/tree5/top" && echo in-secret >"$NFSH_WORK/tree5/secret/s1"
nfsh_pack "$NFSH_WORK/tree5" "$M" minor-e 1 none
python3 - "$M/minor-e/1.sqfs" "$(inode /secret "$M/minor-e/1.sqfs")" <<'EOF'
import struct, sys
img = bytearray(open(sys.argv[1], "rb").read())
at = lambda entry: img.index(entry, struct.unpack_from("<Q", img, 72)[0]) - 4  # offset, inode delta, type, size - 1, name
secret, a = at(b"\x01\x00\x05\x00secret"), at(b"\x02\x00\x00\x00a")  # a: the first of its listing, after its base
struct.pack_into("<Hh", img, a, struct.unpack_from("<H", img, secret)[0], int(sys.argv[2]) - struct.unpack_from("<I", img, a - 4)[0])
open(sys.argv[1], "wb").write(img)
EOF
noatime() { sed 's/ atime=[^ ]*//' <<<"$1"; }
NFSH_FSAL_LOG_LEVEL=INFO
refused() { [[ $(nfsq "$1" stat .) == "error MNT3ERR"* ]]; }

{
	echo 'QOR { maxread = 65536; umask = 0022; }'
	nfsh_export_qor 1 /qa "$M" minor-a 1
	nfsh_export_qor 2 /qdata "$M" minor-a 1 'export_path = "/data";'
	nfsh_export_qor 3 /qslash "$M" minor-a 1 'export_path = "/data/";'
	nfsh_export_qor 4 /qb "$M" minor-b 7
	nfsh_export_qor 5 /qmissing "$M" minor-a 99
	nfsh_export_qor 6 /qnotimage "$M" minor-a 5
	nfsh_export_qor 7 /qbadminor "$M" .. 1
	nfsh_export_qor 8 /qnodir "$NFSH_WORK/no-such-dir" minor-a 1
	nfsh_export_qor 9 /qc "$M" minor-c 3
	nfsh_export_qor 10 /qlong "$M" minor-a 1 "export_path = \"/$(printf 'e%.0s' {1..4095})\";"
	nfsh_export_qor 11 /qdeep "$M" minor-d 1 "export_path = \"$deep/\";"
	nfsh_export_qor 12 /qpub "$M" minor-e 1 'export_path = "/pub";'
} | nfsh_conf
check "server starts" nfsh_start
python3 -c 'import fcntl, os, struct, sys
fcntl.fcntl(os.open(sys.argv[1], os.O_RDONLY), fcntl.F_OFD_GETLK, struct.pack("hhqqi4x", fcntl.F_RDLCK, 0, 0, 0, 0))' \
	"$NFSH_CONF" && locks="enabling OFD Locks" || locks="disabling lock support"
check "the plug-in's lock support follows this host's OFD locks ($locks)" grep -q "FSAL_QOR $locks" "$NFSH_LOG"

check_eq "the QOR block's maxread reaches the server" "rtmax=65536" "$(nfsq /qa fsinfo)"
check_eq "FSSTAT gives the medium's size and inode count, nothing free" \
	"$(unsquashfs -s "$M/minor-a/1.sqfs" | awk '/^Filesystem size/ { b = $3 } /^Number of inodes/ { print "tbytes=" b " tfiles=" $4 " free=0" }')" \
	"$(nfsq /qa fsstat)"
for e in /qmissing /qnotimage /qbadminor /qnodir /qlong; do check "$e is refused" refused $e; done
check_eq "the other exports serve" "$(src_stat "$T2/size-513")" "$(nfs_stat "$(nfsq /qb stat size-513)")"
check_eq "a medium without an export table serves" "$(md5sum <"$T2/multi-block")" "$(nfsq -j 4 /qc pread multi-block 0 2000000 | md5sum)"
cfh=$(nfsq /qc fh size-4097)

bad=
for c in size-0:512 size-1:512 size-512:512 size-513:1024 size-4097:4608; do
	[ "$(attr used "$(nfsq /qa stat "${c%:*}")")" = "${c#*:}" ] || bad+="$c "
done
check_eq "space used is the size in whole 512-byte sectors, at least one" "" "$bad"
check_eq "a missing name is NOENT, a name below a file NOTDIR" $'error NFS3ERR_NOENT\nerror NFS3ERR_NOTDIR' \
	"$(nfsq /qa stat no-such; nfsq /qa stat size-1/x)"
check_eq "fileids are the medium's inode numbers" "$(inode /) $(inode /data/sub/file)" \
	"$(attr fileid "$(nfsq /qa stat .)") $(attr fileid "$(nfsq /qa stat data/sub/file)")"

check_eq "export_path's directory is the export's root" "$(src_stat "$T/data" | cut -d' ' -f1,2,4)" \
	"$(nfs_stat "$(nfsq /qdata stat .)" | cut -d' ' -f1,2,4)"
check_eq "a file below it resolves, with a trailing slash too, also mounted below the root" \
	"$(for i in 1 2 3; do echo "$(src_stat "$T/data/sub/file") $(attr fileid "$(nfsq /qa stat data/sub/file)")"; done)" \
	"$(for e in "/qdata sub/file" "/qslash sub/file" "/qslash/sub file"; do
		f=$(nfsq ${e% *} stat "${e#* }") && echo "$(nfs_stat "$f") $(attr fileid "$f")"; done)"
check_eq "an export_path at the length limit serves" "at the limit" "$(nfsq /qdeep pread f 0 100)"
check_eq "going up from its root stays inside" "error NFS3ERR_NOENT" "$(nfsq /qdata stat ../size-1)"

# A handle names an object whichever export it arrives on: /qdata answers only
# for the objects below /data, also when another export cached them.
in_qdata() { local o; o=$(nfsq /qdata getattr "$(qfh_set "$1" export 2)"); echo "${o%% *}"; }
confinement() {
	local p want bad=
	for p in size-1 links/relative level0 . data/sub/file data/sub data linked-out; do
		case $p in data* | linked-out) want=type=$(attr type "$(nfsq /qa stat "$p")") ;; *) want=error ;; esac
		[ "$(in_qdata "$(nfsq /qa fh "$p")")" = "$want" ] || bad+="$p "
	done
	check_eq "$1: /qdata answers for exactly the objects below /data (hard links too)" "" "$bad"
}
confinement "cached through /qa"
secret=$(nfsq /qpub getattr "$(qfh_set "$(nfsq /qpub fh .)" id "$(inode /secret "$M/minor-e/1.sqfs")")") || true
check_eq "an entry of a file's type naming a directory elsewhere: the export names nothing of it" "|error|error" \
	"$(nfsq /qpub ls . | cut -f1)|$(nfsq /qpub stat a | cut -d' ' -f1)|${secret%% *}"

a=$(nfsq /qa stat size-1) fh=$(nfsq /qa fh size-1) dfh=$(nfsq /qa fh data/sub) bfh=$(nfsq /qb fh size-1)
check_eq "a handle gives the object's attributes" "$(noatime "$a") $(nfsq /qa stat data/sub)" \
	"$(noatime "$(nfsq /qa getattr "$fh")") $(nfsq /qa getattr "$dfh")"
forged=("$(qfh_set "$fh" id 0x7fffffff)" "$(qfh_set "$fh" id 0)" "$(qfh_set "$fh" id -5)" "$(qfh_set "$fh" media 0x5a5a5a5)"
	"$(qfh_set "$fh" mode 040755)" "$(qfh_set "$dfh" mode 0100644)" "$(qfh_set "$fh" id "$(inode /links/relative)")")
for s in socket chardev blockdev; do forged+=("$(qfh_set "$(qfh_set "$fh" id "$(inode /specials/$s)")" mode "0x$(stat -c %f "$T/specials/$s")")"); done
for bits in 01 0100 04000 0200000; do forged+=("$(qfh_set "$fh" mode $((0x$(stat -c %f "$T/size-1") ^ 8#$bits)))"
	"$(qfh_set "$dfh" mode $((0x$(stat -c %f "$T/data/sub") ^ 8#$bits)))"); done
bad=
for h in "${forged[@]}"; do [ "$(nfsq /qa getattr "$h")" = "error NFS3ERR_STALE" ] || bad+="$h "; done
check_eq "${#forged[@]} forged handles (ids, media, modes off by any bit, sockets, devices) are stale" "" "$bad"
check_eq "a handle one byte short or long is a bad handle" $'error NFS3ERR_BADHANDLE\nerror NFS3ERR_BADHANDLE' \
	"$(nfsq /qa getattr "$(qfh_set "${fh:0:32}" fslen 11)"; nfsq /qa getattr "$(qfh_set "${fh:0:34}00" fslen 13)")"
check_eq "a handle of another medium is stale (cached)" "error NFS3ERR_STALE" "$(nfsq /qb getattr "$(qfh_set "$fh" export 4)")"
check_eq "the server still serves" "$(noatime "$a")" "$(noatime "$(nfsq /qa getattr "$fh")")"

# ---- restarts: nothing is cached, handles reach the plug-in's own checks ------
before=$(nfsq /qa walk | cut -f1,11 | md5sum)
check "server restarts" eval "nfsh_stop && nfsh_start"
check_eq "a handle of another medium is stale (uncached), both ways" $'error NFS3ERR_STALE\nerror NFS3ERR_STALE' \
	"$(nfsq /qb getattr "$(qfh_set "$fh" export 4)"; nfsq /qa getattr "$(qfh_set "$bfh" export 1)")"
outside=$(nfsq /qa fh size-1) tmpl=$(nfsq /qdata fh sub/file) qsub=$(nfsq /qdata fh sub) qroot=$(nfsq /qdata fh .)
nfsh_stop && nfsh_start
check_eq "uncached directory handles list, through export_path and at its root" "file file $(ls "$T/data" | xargs)" \
	"$(nfsq /qa ls-fh "$dfh" | cut -f1) $(nfsq /qdata ls-fh "$qsub" | cut -f1) $(nfsq /qdata ls-fh "$qroot" | cut -f1 | sort | xargs)"
check_eq "the .. of a directory is its parent, of export_path's root that root" \
	"$(attr fileid "$(nfsq /qa stat data)") $(attr fileid "$(nfsq /qdata stat .)")" \
	"$(attr fileid "$(nfsq /qdata lookup "$qsub" ..)") $(attr fileid "$(nfsq /qdata lookup "$qroot" ..)")"
check_eq "uncached: an object outside export_path is stale" "error" "$(in_qdata "$outside")"
confinement "uncached"
# handles made up from every inode number of the medium, with its object's mode
nfsq /qa walk >"$NFSH_WORK/walk"
declare -A type_bits=([reg]=0100000 [dir]=040000 [lnk]=0120000 [fifo]=010000)
want=$(awk -F'\t' '$1 ~ /^\.\/data(\/|$)/ { print $11 }' "$NFSH_WORK/walk" | sort -un)
answered=$(while IFS=$'\t' read -r _ type mode _ _ _ _ _ _ _ id _; do
	if [[ $(nfsq /qdata getattr "$(qfh_set "$(qfh_set "$tmpl" id "$id")" mode $((type_bits[$type] | 8#$mode)))") == type=* ]]; then
		echo "$id"
	fi
done <"$NFSH_WORK/walk" | sort -un)
check "the medium has many objects outside /data" test "$(wc -l <"$NFSH_WORK/walk")" -gt $(($(wc -l <<<"$want") + 20))
check_eq "made-up handles of every inode: only those below /data answer" "$want" "$answered"
check_eq "every path has its fileid after restarts" "$before" "$(nfsq /qa walk | cut -f1,11 | md5sum)"
check_eq "handles from before the restarts work (file, directory, no export table, export_path)" \
	"$(noatime "$a") $(nfsq /qa stat data/sub) $(src_stat "$T2/size-4097") $(nfsq /qdata stat sub/file)" \
	"$(noatime "$(nfsq /qa getattr "$fh")") $(nfsq /qa getattr "$dfh") $(nfs_stat "$(nfsq /qc getattr "$cfh")") $(nfsq /qdata getattr "$tmpl")"

# A different image under the same name: old handles never name its objects.
nfsh_stop
nfsh_pack "$T2" "$M" minor-a 1 lz4
check "server starts on the replaced image" nfsh_start
check_eq "a handle into the replaced image is stale" "error NFS3ERR_STALE" "$(nfsq /qa getattr "$fh")"
check_eq "the export serves the new image" "$(src_stat "$T2/size-513")" "$(nfs_stat "$(nfsq /qa stat size-513)")"
# exports that a reload removes let go of their medium; the others serve on
nfsh_export_qor 4 /qb "$M" minor-b 7 | nfsh_conf
kill -HUP "$NFSH_SERVER_PID"
check "exports removed on SIGHUP close their medium" wait_for 10 eval "! ls -l /proc/$NFSH_SERVER_PID/fd | grep -q minor-a/"
check_eq "... are gone, and the others serve" "$(src_stat "$T2/size-1")" "$(refused /qa && nfs_stat "$(nfsq /qb stat size-1)")"
check "server stops" nfsh_stop

for qor in "maxread = 511;" "maxread = 67108865;" "maxwrite = 100;" "umask = 01000;" "data_cache_size = 1099511627777;" \
	"maxread = 512; maxwrite = 67108864; umask = 0777; link_support = false; data_cache_size = 0;"; do
	{ echo "QOR { $qor }"; nfsh_export_qor 1 /qa "$M" minor-b 7; } | nfsh_conf
	check "server starts with QOR { $qor }" nfsh_start
	[[ $qor == *"= 0;" ]] && break
	check "... and refuses the export" refused /qa
	nfsh_stop
done
check_eq "at the limits it serves, in 512-byte reads, uncached" "rtmax=512 $(md5sum <"$T2/multi-block")" \
	"$(nfsq /qa fsinfo) $(nfsq -j 8 /qa pread multi-block 0 1000000 | md5sum)"
check "server stops" nfsh_stop
done_testing

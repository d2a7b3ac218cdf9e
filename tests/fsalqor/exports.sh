#!/usr/bin/env bash
# The plug-in in the real server: module loading, exports and their media,
# export_path compositions, attributes of nested paths, media that cannot be
# opened, forged and cross-export handles, and fileids and handles that survive
# a server restart (but not a replaced image).
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

T2=$NFSH_WORK/tree2
python3 "$NFSH_LIB/mktree.py" "$T" sizes links modes mtimes nested names empty
mkdir -p "$T/data/sub"
echo "inside data" >"$T/data/sub/file"
# one file, one name under export_path and one outside it
ln "$T/data/sub/file" "$T/linked-out"
chown 1234:5678 "$T/size-1" && chmod 0640 "$T/size-1"
touch -d @1500000000 "$T/data/sub/file" "$T/data/sub" "$T/data" "$T"
python3 "$NFSH_LIB/mktree.py" "$T2" sizes
nfsh_pack "$T" "$M" minor-a 1 lz4
nfsh_pack "$T2" "$M" minor-b 7 zstd
echo "not a squashfs image" >"$M/minor-a/5.sqfs"
# a medium made from a tar stream, without an export table
mkdir -p "$M/minor-c"
tar -C "$T2" -cf - . | tar2sqfs -q -c lz4 "$M/minor-c/3.sqfs" >/dev/null

q() { nfsq "$@"; }
# The server's cache moves atime forward on every read: leave it out where
# attributes are compared before and after reads.
noatime() { sed 's/ atime=[^ ]*//' <<<"$1"; }
inode_of() { rdsquashfs -s "$2" "$M/$1" | awk -F': ' '$1 == "Inode number" { print $2 }'; }

NFSH_FSAL_LOG_LEVEL=INFO
{
	echo 'QOR { maxread = 65536; umask = 0022; }'
	nfsh_export_qor 1 /qa "$M" minor-a 1
	nfsh_export_qor 2 /qdata "$M" minor-a 1 'export_path = "/data";'
	nfsh_export_qor 3 /qdata-slash "$M" minor-a 1 'export_path = "/data/";'
	nfsh_export_qor 4 /qb "$M" minor-b 7
	nfsh_export_qor 5 /qmissing "$M" minor-a 99
	nfsh_export_qor 6 /qnotimage "$M" minor-a 5
	nfsh_export_qor 7 /qbadminor "$M" .. 1
	nfsh_export_qor 8 /qnodir "$NFSH_WORK/no-such-dir" minor-a 1
	nfsh_export_qor 9 /qc "$M" minor-c 3
} | nfsh_conf
check "server starts with the plug-in and a QOR block" nfsh_start

# ---- module and exports ------------------------------------------------------
check_log "the module registered and read its configuration" "FSAL_QOR testing OFD Locks"
check_log "the lock test ran" "FSAL_QOR (enabling OFD Locks|disabling lock support)"
check_eq "the QOR block's maxread reaches the server" "rtmax=65536" "$(q /qa fsinfo)"
check_log "a medium that is missing is refused with the open's error" \
	"Could not open QOR media dir=$M, minor_resource_id=minor-a, seq=99, rc = [A-Za-z].* \\([0-9]+\\)\$"
check_log "a file that is not an image is refused" "Could not open QOR media dir=$M, minor_resource_id=minor-a, seq=5, rc = "
check_log "a minor resource id that is not one component is refused" "Could not open QOR media dir=$M, minor_resource_id=\\.\\., seq=1, rc = "
check_log "a media directory that does not exist is refused" "Could not open QOR media dir=$NFSH_WORK/no-such-dir, minor_resource_id=minor-a, seq=1, rc = "
for e in /qmissing /qnotimage /qbadminor /qnodir; do
	check "the refused export $e cannot be mounted" bash -c "! '$NFSQ' $e stat . >/dev/null 2>&1"
done
check_eq "the other exports keep working" "$(src_stat "$T2/size-513")" "$(nfs_stat "$(q /qb stat size-513)")"
check_eq "a medium without an export table is served" "$(src_stat "$T2/size-4097")" "$(nfs_stat "$(q /qc stat size-4097)")"
check_eq "and its files read" "$(md5sum <"$T2/multi-block")" "$(q -j 4 /qc pread multi-block 0 100000000 | md5sum)"
cfh=$(q /qc fh size-4097)

# ---- attributes of nested paths ----------------------------------------------
mismatch=
while IFS= read -r -d '' p; do
	p=${p#./}
	[ "$p" = . ] && continue
	[ "$(src_stat "$T/$p" | cut -d' ' -f1)" = dir ] && want=$(src_stat "$T/$p" | cut -d' ' -f1,2,4) ||
		want=$(src_stat "$T/$p")
	got=$(nfs_stat "$(q /qa stat "$p")")
	[ "$(src_stat "$T/$p" | cut -d' ' -f1)" = dir ] && got=$(echo "$got" | cut -d' ' -f1,2,4)
	[ "$want" = "$got" ] || mismatch+="$p: want $want got $got; "
done < <(cd "$T" && find . -path ./names -prune -o -print0)
check_eq "type, mode, size and mtime of every path match the medium's source" "" "$mismatch"

a=$(q /qa stat size-1)
check_eq "owner and group are 0 whatever the medium holds" "0 0" "$(attr uid "$a") $(attr gid "$a")"
check_eq "one link" "1" "$(attr nlink "$a")"
check_eq "atime and ctime are the mtime, in whole seconds" \
	"$(stat -c %Y "$T/size-1").000000000 $(stat -c %Y "$T/size-1").000000000 $(stat -c %Y "$T/size-1").000000000" \
	"$(attr atime "$a") $(attr mtime "$a") $(attr ctime "$a")"
check_eq "space used of 1 byte is 512" "512" "$(attr used "$a")"
check_eq "space used of an empty file is 512" "512" "$(attr used "$(q /qa stat size-0)")"
check_eq "space used of 513 bytes is 1024" "1024" "$(attr used "$(q /qa stat size-513)")"
check_eq "space used of 512 bytes is 512" "512" "$(attr used "$(q /qa stat size-512)")"
check_eq "a long name resolves" "$(src_stat "$T/names/$(printf 'x%.0s' $(seq 255))")" \
	"$(nfs_stat "$(q /qa stat "names/$(printf 'x%.0s' $(seq 255))")")"
check_eq "a UTF-8 name resolves" "$(src_stat "$T/names/日本語のファイル")" "$(nfs_stat "$(q /qa stat "names/日本語のファイル")")"
check_eq "a missing name is NOENT" "error NFS3ERR_NOENT" "$(q /qa stat no-such-file)"
check_eq "a name below a file is NOTDIR" "error NFS3ERR_NOTDIR" "$(q /qa stat size-1/x)"

# ---- fileids: the object's inode number on its medium -----------------------
root_inode=$(inode_of minor-a/1.sqfs /)
check_eq "the root's fileid is its inode number" "$root_inode" "$(attr fileid "$(q /qa stat .)")"
check_eq "a nested file's fileid is its inode number" "$(inode_of minor-a/1.sqfs /data/sub/file)" \
	"$(attr fileid "$(q /qa stat data/sub/file)")"
check_eq "hard links share one fileid" "$(attr fileid "$(q /qa stat links/hard-a)")" "$(attr fileid "$(q /qa stat links/hard-b)")"
check "no fileid is 0" bash -c "! '$NFSQ' /qa walk | awk -F'\\t' '\$11 == 0 { bad = 1 } END { exit !bad }'"

# ---- export_path -------------------------------------------------------------
check_eq "export_path makes a directory of the medium the export's root" \
	"$(src_stat "$T/data" | cut -d' ' -f1,2,4)" "$(nfs_stat "$(q /qdata stat .)" | cut -d' ' -f1,2,4)"
check_eq "paths below export_path resolve" "$(src_stat "$T/data/sub/file")" "$(nfs_stat "$(q /qdata stat sub/file)")"
check_eq "export_path with a trailing slash gives the same objects" \
	"$(attr fileid "$(q /qdata stat sub/file)")" "$(attr fileid "$(q /qdata-slash stat sub/file)")"
check_eq "the same object through two exports of one medium has one fileid" \
	"$(attr fileid "$(q /qa stat data/sub/file)")" "$(attr fileid "$(q /qdata stat sub/file)")"
check_eq "going up from an export_path root stays inside" "error NFS3ERR_NOENT" "$(q /qdata stat ../size-1 2>&1 | tail -1)"

# A handle names an object, whichever export it arrives on: an export with
# export_path answers only for the objects at or below it, also for handles
# the server has cached through another export of the same medium.
in_qdata() {	# HANDLE-FROM-/qa: the same bytes sent to /qdata (export 2): type=... or the error
	local out
	out=$(q /qdata getattr "$(qfh_set "$1" export 2)")
	[[ $out == error* ]] && echo "$out" || echo "${out%% *}"
}
confinement() {	# WHEN: every outside object is stale, every inside one answers
	local p want got bad=
	for p in size-1 links/relative level0 names . data/sub/file data/sub data linked-out; do
		case $p in data* | linked-out) want=type=$(attr type "$(q /qa stat "$p")") ;; *) want="error NFS3ERR_STALE" ;; esac
		got=$(in_qdata "$(q /qa fh "$p")")
		[ "$got" = "$want" ] || bad+="$p: $got; "
	done
	check_eq "$1: /qdata answers for exactly the objects under /data (hard links too)" "" "$bad"
}
confinement "cached through /qa"

# ---- handles -----------------------------------------------------------------
fh=$(q /qa fh size-1)
check_eq "the server's handle carries our 12 bytes" "12" "$(qfh_get "$fh" fslen)"
check_eq "the handle's id is the inode number" "$(inode_of minor-a/1.sqfs /size-1)" "$(qfh_get "$fh" id)"
check_eq "the handle's mode is a regular file's" "$((0100640))" "$(qfh_get "$fh" mode)"
dfh=$(q /qa fh data/sub)
check_eq "getattr of a directory by its handle" "$(q /qa stat data/sub)" "$(q /qa getattr "$dfh")"
check_eq "getattr of a file by its handle" "$(noatime "$a")" "$(noatime "$(q /qa getattr "$fh")")"

stale() { local out; out=$(q "$1" getattr "$2"); [[ $out == "error "* ]] || { echo "# $3: $out" >&2; return 1; }; }
check "an id past the medium's last inode is refused" stale /qa "$(qfh_set "$fh" id 0x7fffffff)" "id out of range"
check "id 0 is refused" stale /qa "$(qfh_set "$fh" id 0)" "id 0"
check "a negative id is refused" stale /qa "$(qfh_set "$fh" id -5)" "negative id"
check "a file's id with a directory's mode is refused" stale /qa "$(qfh_set "$fh" mode 040755)" "type changed"
check "a directory's id with a file's mode is refused" stale /qa "$(qfh_set "$dfh" mode 0100644)" "type changed"
check "a symbolic link's id with a file's mode is refused" \
	stale /qa "$(qfh_set "$fh" id "$(inode_of minor-a/1.sqfs /links/relative)")" "link as file"
check "an unknown media id is refused" stale /qa "$(qfh_set "$fh" media 0x5a5a5a5)" "media id"
check_eq "a handle one byte short is a bad handle" "error NFS3ERR_BADHANDLE" "$(q /qa getattr "$(qfh_set "${fh:0:32}" fslen 11)")"
check_eq "a handle one byte long is a bad handle" "error NFS3ERR_BADHANDLE" "$(q /qa getattr "$(qfh_set "${fh:0:34}00" fslen 13)")"
# one object, one handle: the cache would otherwise hold it under two keys
bad=
for bits in 01 0100 04000 0200000; do
	for h in "$fh" "$dfh"; do
		out=$(q /qa getattr "$(qfh_set "$h" mode $(($(qfh_get "$h" mode) ^ 8#$bits)))")
		[ "$out" = "error NFS3ERR_STALE" ] || bad+="$bits: $out; "
	done
done
check_eq "a handle whose mode differs from the object's in any bit is stale" "" "$bad"
bfh=$(q /qb fh size-1)
check_eq "a handle of one medium sent to another medium's export is stale (cached)" "error NFS3ERR_STALE" \
	"$(q /qb getattr "$(qfh_set "$fh" export 4)")"
check_eq "the server still serves after forged handles" "$(noatime "$a")" "$(noatime "$(q /qa getattr "$fh")")"

# ---- restart -----------------------------------------------------------------
before=$(q /qa walk | cut -f1,11 | md5sum)
check "server restarts" nfsh_restart
# Right after the restart the objects are in no cache: these handles reach the
# plug-in's own check.
check_eq "a handle of one medium sent to another medium's export is stale (uncached)" "error NFS3ERR_STALE" \
	"$(q /qb getattr "$(qfh_set "$fh" export 4)")"
check_eq "and the other way round (uncached)" "error NFS3ERR_STALE" "$(q /qa getattr "$(qfh_set "$bfh" export 1)")"
# the objects outside /data before anything went through /qa
outside=$(q /qa fh size-1)
qsub=$(q /qdata fh sub)
qroot=$(q /qdata fh .)
nfsh_restart >/dev/null
# Objects made from handles: the server asks for ".." to list them.
check_eq "uncached: a directory handle lists" "file" "$(q /qa ls-fh "$dfh" | cut -f1)"
check_eq "uncached: a directory handle through export_path lists" "file" "$(q /qdata ls-fh "$qsub" | cut -f1)"
check_eq "uncached: so does the handle of export_path's root" "$(ls -A "$T/data" | LC_ALL=C sort)" \
	"$(q /qdata ls-fh "$qroot" | cut -f1 | LC_ALL=C sort)"
check_eq "a directory's .. is its parent" "$(attr fileid "$(q /qa stat data)")" \
	"$(attr fileid "$(q /qdata lookup "$qsub" ..)")"
check_eq "the .. of export_path's root is that root" "$(attr fileid "$(q /qdata stat .)")" \
	"$(attr fileid "$(q /qdata lookup "$qroot" ..)")"
check_eq "uncached: a handle of an object outside export_path is stale" "error NFS3ERR_STALE" "$(in_qdata "$outside")"
confinement "uncached"
# Handles made up from every inode number of the medium with its object's
# mode: /qdata answers exactly for the objects under /data.
tmpl=$(q /qdata fh sub/file)
q /qa walk >"$NFSH_WORK/qa.walk"
want=$(awk -F'\t' '$1 == "./data" || $1 ~ /^\.\/data\// { print $11 }' "$NFSH_WORK/qa.walk" | sort -un)
answered=$(sort -t$'\t' -k11,11n -u "$NFSH_WORK/qa.walk" | while IFS=$'\t' read -r _ type mode _ _ _ _ _ _ _ fileid _; do
	case $type in reg) t=0100000 ;; dir) t=040000 ;; lnk) t=0120000 ;; fifo) t=010000 ;; *) continue ;; esac
	out=$(q /qdata getattr "$(qfh_set "$(qfh_set "$tmpl" id "$fileid")" mode $((t | 8#$mode)))")
	[[ $out == type=* ]] && echo "$fileid"
done | sort -un)
check "the medium has objects outside /data ($(wc -l <"$NFSH_WORK/qa.walk") in all)" \
	test "$(wc -l <"$NFSH_WORK/qa.walk")" -gt $(($(wc -l <<<"$want") + 20))
check_eq "made-up handles of every inode: only the $(wc -w <<<"$want") under /data are answered" "$want" "$answered"
check_eq "every path has the same fileid after a restart" "$before" "$(q /qa walk | cut -f1,11 | md5sum)"
check_eq "a file handle from before the restart still works" "$(noatime "$a")" "$(noatime "$(q /qa getattr "$fh")")"
check_eq "a directory handle from before the restart still works" "$(q /qa stat data/sub)" "$(q /qa getattr "$dfh")"
check_eq "a handle into a medium without an export table still works after a restart" \
	"$(src_stat "$T2/size-4097")" "$(nfs_stat "$(q /qc getattr "$cfh")")"
check_eq "a handle through export_path from before the restart still works" "$(q /qdata stat sub/file)" \
	"$(q /qdata getattr "$(q /qdata fh sub/file)")"

# A different image under the same name: old handles must go stale, never name
# whatever the new image holds under the same inode number.
check "server stops" nfsh_stop
nfsh_pack "$T2" "$M" minor-a 1 lz4
check "server starts on the replaced image" nfsh_start
check_eq "a handle into the replaced image is stale" "error NFS3ERR_STALE" "$(q /qa getattr "$fh")"
check_eq "the export serves the new image" "$(src_stat "$T2/size-513")" "$(nfs_stat "$(q /qa stat size-513)")"
check "server stops" nfsh_stop

# ---- the QOR block's limits ----------------------------------------------------
for bad in "maxread = 511;" "maxread = 67108865;" "maxwrite = 100;" "umask = 01000;" \
	"data_cache_size = 1099511627777;"; do
	{ echo "QOR { $bad }"; nfsh_export_qor 1 /qa "$M" minor-b 7; } | nfsh_conf
	nfsh_start >/dev/null 2>&1
	check "a QOR block with $bad is refused: no export" bash -c "! '$NFSQ' /qa stat . >/dev/null 2>&1"
	nfsh_stop || true
done
{ echo "QOR { maxread = 512; maxwrite = 67108864; umask = 0777; link_support = false; data_cache_size = 0; }"
  nfsh_export_qor 1 /qa "$M" minor-b 7; } | nfsh_conf
check "a QOR block at its limits is accepted" nfsh_start
check_eq "and serves with the smallest maxread" "rtmax=512" "$(q /qa fsinfo)"
check_log "the library got the data cache size" "FSAL_QOR data cache size = 0\$"
check_eq "reads work in 512-byte pieces, uncached" "$(md5sum <"$T2/multi-block")" "$(q -j 8 /qa pread multi-block 0 10000000 | md5sum)"
check "server stops" nfsh_stop
done_testing

#!/usr/bin/env bash
# Media through the real server: a walk of every shape of tree against FSAL_VFS on the source,
# reads of uncompressed, lz4 and zstd images, listings with and without the directory cache.
set -euo pipefail
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

B=131072 R=$NFSH_WORK/reads
python3 "$NFSH_LIB/mktree.py" "$T" sizes sparse huge specials links names modes empty nested bigdir=20000
echo hello >"$T/bigdir/e000100"
chown -R 1234:5678 "$T/names"
python3 "$NFSH_LIB/mktree.py" "$R" sizes sparse huge
mkdir "$R/many" && python3 -c 'import sys
for i in range(5000): open("%s/f%04d" % (sys.argv[1], i), "w").write(str(i))' "$R/many"
# The server may hold fewer descriptors open than a walk reads files.
NFSH_SERVER=(prlimit --nofile=4096 ganesha.nfsd)
nfsh_pack "$T" "$M" lz4 1 lz4
for c in none zstd; do nfsh_pack "$R" "$M" $c 1 $c; done
conf() { nfsh_export_vfs 1 "$T" /vfs; for c in 2:lz4 3:none 4:zstd; do nfsh_export_qor ${c%:*} /${c#*:} "$M" ${c#*:} 1; done; }
conf | nfsh_conf
check "server starts" nfsh_start
# ---- the walk: path type mode size mtime atime ctime nlink uid gid fileid target/hash
nfsq -j 8 "$T" walk 32768 >"$NFSH_WORK/vfs" || true
nfsq -j 8 /lz4 walk 32768 >"$NFSH_WORK/qor" || true
check "the reference walk saw the whole tree" test "$(wc -l <"$NFSH_WORK/vfs")" -gt 20050
check_eq "ours: owners 0, one link, atime and ctime are mtime, fileids not 0, no socket or device" "" \
	"$(awk -F'\t' '$9 $10 != "00" || $8 != 1 || $6 != $5 || $7 != $5 || !$11 || $2 ~ /sock|chr|blk/' "$NFSH_WORK/qor")"
check_eq "ours: hard links share a fileid" 1 "$(awk -F'\t' '$1 ~ /hard-[ab]$/ { print $11 }' "$NFSH_WORK/qor" | uniq | wc -l)"
norm() { awk -F'\t' -v OFS='\t' '$2 !~ /sock|chr|blk/ { if ($2 == "dir") $4 = "-"; print $1, $2, $3, $4, $5, $12 }' "$1"; }
check_eq "every path, type, mode, size, mtime, link target and content hash agree with FSAL_VFS" "" \
	"$(diff <(norm "$NFSH_WORK/vfs") <(norm "$NFSH_WORK/qor") | head -20)"


# ---- reads: offsets around every block boundary, holes, past 4 GiB and the end
huge=$(stat -c %s "$R/huge")
cases=()
for f in "$R"/size-* fragment-only text multi-block sparse all-hole; do cases+=("${f##*/} 0 $((3 * B + 1000))"); done
for off in $B $((2 * B)) $((7 * B)); do
	for d in -1 0 1; do for n in 1 4096 $((B + 2)); do cases+=("multi-block $((off + d)) $n"); done; done
done
for off in $((B - 10)) $((2 * B - 1)) $((3 * B - 5)) $((5 * B + 90)) $((12 * B - 3)); do cases+=("sparse $off 300"); done
cases+=("multi-block 1000 $((5 * B)) 3000" "multi-block $((7 * B + 700)) 1000" "sparse 0 $((13 * B))"
	"huge $((huge - 8000)) 10000" "huge $(((1 << 32) - 600)) 1200" "huge $(((1 << 32) + 1000)) 5000"
	"huge $((huge - 1)) 1" "size-513 513 100" "size-513 100000 100" "size-1 $((1 << 40)) 100")
for e in /lz4 /none /zstd; do
	bad= pids=()
	for c in "${cases[@]}"; do
		read -r f off n chunk <<<"$c"
		[ "$(dd if="$R/$f" bs=1M iflag=skip_bytes,count_bytes skip="$off" count="$n" status=none | md5sum)" = \
			"$(nfsq -j 4 ${chunk:+-c "$chunk"} "$e" pread "$f" "$off" "$n" | md5sum)" ] || bad+="$c; "
	done
	check_eq "$e: ${#cases[@]} reads match the source" "" "$bad"
	check_eq "$e: a file over 4 GiB has its size" "$huge" "$(attr size "$(nfsq "$e" stat huge)")"
	for i in 1 2 3 4 5 6; do nfsq -j 8 -c $((16384 * i)) "$e" pread multi-block 0 10000000 | md5sum >"$NFSH_WORK/c$i" & pids+=($!); done
	wait "${pids[@]}"
	check_eq "$e: six concurrent clients read the same bytes" "$(md5sum <"$R/multi-block")" "$(sort -u "$NFSH_WORK"/c?)"
done

nfsq -j 8 /zstd walk >"$NFSH_WORK/many" || true
check_eq "a walk reading 5,000 files, more than the server holds descriptors, and reads of other exports after it are answered" \
	"5000 $(md5sum <"$R/text")" "$(grep -c '^\./many/.*hash=' "$NFSH_WORK/many") $(nfsq /none pread text 0 2000000 | md5sum)"

for p in links/target links; do check_eq "readlink of $p is refused" "error NFS3ERR_INVAL" "$(nfsq /lz4 readlink $p)"; done
check_eq "reading a link's data is refused" error "$(nfsq /lz4 pread links/relative 0 10 | cut -d' ' -f1)"
check_eq "a socket and devices are looked up as absent, at once" "$(printf 'error NFS3ERR_NOENT %.0s' 1 2 3)" \
	"$(for s in socket chardev blockdev; do nfsq -T 10 /lz4 stat specials/$s; done | xargs -d '\n' printf '%s ')"
lfh=$(nfsq /lz4 fh links/long-4095) dfh=$(nfsq /lz4 fh level0/level1)

# ---- listings: every name once, small replies resume from cookies -------------
listings() {
	local lines small
	lines=$(wc -l <"$NFSH_LOG")
	check_eq "$1: a recursive listing sees every object" "objects=$(find "$T" ! -type s ! -type c ! -type b -printf x | wc -c)" \
		"$(nfsq /lz4 tree 16384)"
	small=$(nfsq /lz4 count bigdir 4096)
	check_eq "$1: ... and with 20,000 entries in small replies, and 10,000 lookups of missing names, add fewer than 10 lines to the log" \
		"noent=10000 true" "$(nfsq /lz4 misses bigdir 10000) $([ $(($(wc -l <"$NFSH_LOG") - lines)) -lt 10 ] && echo true)"
	check_eq "$1: an empty directory lists nothing" "entries=0 distinct=0 calls=1" "$(nfsq /lz4 count empty)"
	check_eq "$1: 20,000 entries in $small, each once" "entries=20000 distinct=20000" "${small% calls=*}"
	check "$1: small replies took many calls" test "${small##*calls=}" -gt 100
	nfsq /lz4 ls bigdir 8192 >"$NFSH_WORK/ls"
	check_eq "$1: the names are the directory's" "$(LC_ALL=C ls -A "$T/bigdir" | md5sum)" "$(cut -f1 "$NFSH_WORK/ls" | LC_ALL=C sort | md5sum)"
	check_eq "$1: no cookie is 0, 1 or 2, no two are equal" "" \
		"$(awk -F'\t' '{ c = substr($2, 8) + 0 } c < 3 || seen[c]++' "$NFSH_WORK/ls")"
	check_eq "$1: entries carry their attributes" "$(src_stat "$T/bigdir/e000100")" \
		"$(nfs_stat "$(awk -F'\t' '$1 == "e000100" { print $3 }' "$NFSH_WORK/ls")")"
	check_eq "$1: sockets and devices do not hide the other entries, in large and small replies" \
		"a-before fifo z-after a-before fifo z-after" "$(for n in 65536 600; do nfsq /lz4 ls specials $n | cut -f1 | sort; done | xargs)"
}
listings "cached in chunks"
nfsh_stop
check "the server exited regularly, no open descriptor count went negative" \
	awk '/open_fd_count is negative/ { bad = 1 } /NFS EXIT: regular exit/ { ok = 1 } END { exit bad || !ok }' "$NFSH_LOG"
{ echo 'MDCACHE { Dir_Chunk = 0; }'; conf; } | nfsh_conf
check "server starts without the directory cache" nfsh_start
listings "no directory cache"
check_eq "a link's handle is made again after a restart" "$(readlink "$T/links/long-4095")" "$(nfsq /lz4 readlink-fh "$lfh")"
check_eq "a directory's handle too" "$(nfsq /lz4 stat level0/level1)" "$(nfsq /lz4 getattr "$dfh")"
check "server stops" nfsh_stop
done_testing

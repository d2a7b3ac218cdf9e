#!/usr/bin/env bash
# File reads through the server with NFSv3, from an uncompressed, an lz4 and a
# zstd image of the same tree: small sizes, block boundaries, fragments, sparse
# holes, a file over 4 GiB near its end, reads past the end, and several
# clients reading one file at once.
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

B=131072	# the images' block size (mksquashfs's default)
BLOCK=$B python3 "$NFSH_LIB/mktree.py" "$T" sizes sparse huge
id=0
for comp in none lz4 zstd; do
	nfsh_pack "$T" "$M" "$comp" 1 "$comp" -b "$B"
	nfsh_export_qor $((++id)) "/$comp" "$M" "$comp" 1
done | nfsh_conf
check "server starts" nfsh_start

q() { nfsq "$@"; }
# piece FILE OFFSET COUNT: the bytes of the source file
piece() { dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none; }
same_piece() {	# EXPORT FILE OFFSET COUNT [CHUNK]
	local want got
	want=$(piece "$T/$2" "$3" "$4" | md5sum)
	got=$(nfsq -j 4 ${5:+-c "$5"} "$1" pread "$2" "$3" "$4" | md5sum)
	[ "$want" = "$got" ] || { echo "# $1 $2 at $3 count $4 differs" >&2; return 1; }
}

for e in /none /lz4 /zstd; do
	bad=
	for f in size-0 size-1 size-511 size-512 size-513 size-4095 size-4096 size-4097 \
		"size-$((B - 1))" "size-$B" "size-$((B + 1))" "size-$((2 * B))" "size-$((2 * B + 1))" \
		fragment-only text multi-block sparse all-hole; do
		same_piece "$e" "$f" 0 $((3 * B + 1000)) || bad+="$f "
	done
	check_eq "$e: files of every size read back (the first blocks of large ones)" "" "$bad"

	bad=
	for k in 1 2 3 6 7; do
		for off in $((k * B - 1)) $((k * B)) $((k * B + 1)); do
			for count in 1 2 4096 $((B + 2)); do
				same_piece "$e" multi-block "$off" "$count" || bad+="$off+$count "
			done
		done
	done
	check_eq "$e: reads at every block boundary of a large file" "" "$bad"
	check "$e: a read that spans many blocks in small requests" same_piece "$e" multi-block 1000 $((5 * B)) 3000
	check "$e: the fragment tail of a large file" same_piece "$e" multi-block $((7 * B)) 777
	check "$e: a read across the fragment tail's end" same_piece "$e" multi-block $((7 * B + 700)) 1000

	bad=
	for off in 0 $((B - 10)) $((2 * B - 1)) $((2 * B)) $((3 * B - 5)) $((5 * B + 90)) $((12 * B - 3)) $((12 * B + 50)); do
		same_piece "$e" sparse "$off" 300 || bad+="$off "
	done
	check_eq "$e: a sparse file reads zeros in its holes and data elsewhere" "" "$bad"
	check "$e: a sparse file read whole in one piece" same_piece "$e" sparse 0 $((13 * B))

	size=$(stat -c %s "$T/huge")
	check_eq "$e: a file over 4 GiB has its size" "$size" "$(attr size "$(q "$e" stat huge)")"
	check "$e: over 4 GiB: a read across its end" same_piece "$e" huge $((size - 8000)) 10000
	check "$e: over 4 GiB: a read across 4 GiB" same_piece "$e" huge $(((1 << 32) - 600)) 1200
	check "$e: over 4 GiB: a read in a hole past 4 GiB" same_piece "$e" huge $(((1 << 32) + 1000)) 5000
	check "$e: over 4 GiB: its last byte" same_piece "$e" huge $((size - 1)) 1

	check_eq "$e: a read at the end is empty" "0" "$(q "$e" pread size-513 513 100 | wc -c)"
	check_eq "$e: a read past the end is empty" "0" "$(q "$e" pread size-513 100000 100 | wc -c)"
	check_eq "$e: a read far past 4 GiB is empty" "0" "$(q "$e" pread size-1 $((1 << 40)) 100 | wc -c)"
done

# Several clients at once, each with several reads in flight, on one file.
want=$(md5sum <"$T/multi-block")
for e in /none /lz4 /zstd; do
	pids=()
	for i in 1 2 3 4 5 6; do
		nfsq -j 8 -c $((16384 * i)) "$e" pread multi-block 0 100000000 | md5sum >"$NFSH_WORK/c$i" &
		pids+=($!)
	done
	wait "${pids[@]}"
	bad=
	for i in 1 2 3 4 5 6; do [ "$(cat "$NFSH_WORK/c$i")" = "$want" ] || bad+="$i "; done
	check_eq "$e: six concurrent clients read the same bytes" "" "$bad"
done
check "server stops" nfsh_stop
done_testing

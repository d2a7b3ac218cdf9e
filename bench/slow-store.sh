#!/usr/bin/env bash
# Slow-store benchmark: media on a store where every read request costs a
# seek or a round trip (bench/slowstore.c, a FUSE layer over the images that
# delays each read request). Our plug-in reading the images from that store
# against the kernel's squashfs loop-mounting the same images from the same
# store and exported by the server's own FSAL_VFS, through the same server
# and client (nfsq), cold: server restarted and the kernel's caches dropped
# before each side.
#
# Stores (BENCH_STORES, default: disk disk-ra1m net):
#   disk      4 ms a request, one at a time, the mount's read_ahead_kb 128 (a disk's default)
#   disk-ra1m the same disk with read_ahead_kb 1024
#   net       1 ms a request, requests overlap (a network store), read_ahead_kb 128
#
# usage: bench/slow-store.sh   (as root; builds nfsq, the plug-in and the layer)
#   BUILD_DIR       build directory (default: build)
#   BENCH_FILE_MIB  size of the read file in MiB (default 1024)
#   BENCH_COMPS     compressors of the images (default: lz4 zstd), 128 KiB blocks
#   BENCH_QUICK=1   a small file and tree, for a smoke run
#   BENCH_IMAGES    a directory that keeps the packed images for later runs
#   BENCH_READS     the measurements (default: sequential random walk)
#
# Each line: the kernel's time over ours (above 1 we are faster), both times
# in seconds, and for each side the read requests the store served and their
# average size in KiB.
set -euo pipefail
[ -z "${BENCH_TRACE:-}" ] || set -x
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter "6g" "$@"

MIB=${BENCH_FILE_MIB:-1024}
COMPS=${BENCH_COMPS:-lz4 zstd}
STORES=${BENCH_STORES:-disk disk-ra1m net}
READS_OF=${BENCH_READS:-sequential random walk}
TREE_FILES=20000 READS=2000
[ -z "${BENCH_QUICK:-}" ] || MIB=64 TREE_FILES=2000 READS=200
D=$NFSH_WORK/data	# the source tree
M=$NFSH_WORK/media	# the images, on tmpfs
S=$NFSH_WORK/store	# the images through the slow store
K=$NFSH_WORK/kernel	# the images from the store, loop-mounted
LAYER=$NFSH_WORK/slowstore
mkdir -p "$D/tree" "$S" "$K"
cc -O2 -Wall -o "$LAYER" "$bench_top/bench/slowstore.c" $(pkg-config --cflags --libs fuse3)

keep=${BENCH_IMAGES:+$BENCH_IMAGES/$MIB-$TREE_FILES}
if [ -n "$keep" ] && [ -f "$keep/done" ]; then
	echo "# the images of $keep"
	cp -r "$keep" "$M"
else
	echo "# building the tree ($MIB MiB file, $TREE_FILES files) and packing it (128 KiB blocks)"
	bench_program_data "$D/big" "$MIB"
	for i in $(seq 0 $((TREE_FILES / 100 - 1))); do
		python3 "$NFSH_LIB/mktree.py" "$D/tree/d$i" flatdir=100 >/dev/null
	done
	for comp in $COMPS; do nfsh_pack "$D" "$M" "$comp" 1 "$comp"; done
	rm -rf "$D"
	[ -z "$keep" ] || { mkdir -p "$keep" && cp -r "$M/." "$keep" && touch "$keep/done"; }
fi
ls -l "$M"/*/1.sqfs | awk '{ split($NF, p, "/"); printf "#   %s: %d MiB\n", p[length(p) - 1], $5 / 1048576 }'

layer_pid=
# store_up DELAY_US READ_AHEAD_KB [--serial]: the layer mounted on S, the images loop-mounted from it
store_up() {
	"$LAYER" "$M" "$S" --delay-us="$1" ${3:-} -f 2>/dev/null &
	layer_pid=$!
	wait_for 10 mountpoint -q "$S" || nfsh_die "the slow store did not mount"
	echo "$2" >"/sys/class/bdi/$(mountpoint -d "$S")/read_ahead_kb"
	for comp in $COMPS; do
		mkdir -p "$K/$comp"
		mount -t squashfs -o loop,ro "$S/$comp/1.sqfs" "$K/$comp"
	done
}
store_down() {
	nfsh_stop >/dev/null 2>&1 || true
	for comp in $COMPS; do umount "$K/$comp"; done
	umount "$S"
	wait "$layer_pid" || true
}
trap 'store_down >/dev/null 2>&1' EXIT

{
	id=1
	for comp in $COMPS; do
		nfsh_export_vfs $((id++)) "$K/$comp" "/k-$comp"
		nfsh_export_qor $((id++)) "/$comp" "$S" "$comp" 1
	done
	comp=${COMPS%% *}
	nfsh_export_vfs $((id++)) "$K/$comp/tree" /ktree # NFSv3 mounts it by its path
	nfsh_export_qor $((id++)) /qtree "$S" "$comp" 1 'export_path = "/tree";'
} | nfsh_conf

restart() {
	nfsh_stop >/dev/null 2>&1 || true
	sync
	echo 3 >/proc/sys/vm/drop_caches
	nfsh_start >/dev/null || nfsh_start >/dev/null || { tail -20 "$NFSH_LOG" >&2; exit 1; }
}
requests() { cat "$S/.slowstore"; }	# "requests N bytes B"
# side EXPORT OPTIONS COMMAND: appends "SECONDS REQUESTS BYTES" of one cold
# run to result (not in a subshell: the server it starts is stopped by the next)
side() {
	local before after out secs
	restart
	before=$(requests)
	# shellcheck disable=SC2086
	out=$("$NFSQ" -t -T 600 $2 "$1" $3 2>&1 >/dev/null) || echo "nfsq $1 $3: $out" >&2
	secs=$(sed -n 's/^seconds=//p' <<<"$out")
	after=$(requests)
	result+=" ${secs:-nan} $before $after"
}
# measure LABEL KERNEL_EXPORT OUR_EXPORT OPTIONS COMMAND
measure() {
	result=
	side "$2" "$4" "$5"
	side "$3" "$4" "$5"
	# shellcheck disable=SC2086
	python3 - "$1" $result <<'EOF'
import sys
label, a = sys.argv[1], sys.argv[2:]
def parse(v):
    secs, r0, b0, r1, b1 = float(v[0]), int(v[2]), int(v[4]), int(v[6]), int(v[8])
    return secs, r1 - r0, (b1 - b0) / max(r1 - r0, 1) / 1024
ks, kr, kb = parse(a[:9])
os_, or_, ob = parse(a[9:])
print(f"{label:<28} {ks / os_:5.2f} {ks:8.2f} {os_:8.2f} {kr:9d} {kb:6.0f} {or_:9d} {ob:6.0f}", flush=True)
EOF
}

size=$((MIB * 1048576))
for store in $STORES; do
	case $store in
	disk) store_up 4000 128 --serial; what="4 ms a request, one at a time, read-ahead 128 KiB" ;;
	disk-ra1m) store_up 4000 1024 --serial; what="4 ms a request, one at a time, read-ahead 1 MiB" ;;
	net) store_up 1000 128; what="1 ms a request, requests overlap, read-ahead 128 KiB" ;;
	*) nfsh_die "unknown store $store" ;;
	esac
	echo
	echo "store $store: $what"
	printf '%-28s %5s %8s %8s %9s %6s %9s %6s\n' measurement k/q kernel-s ours-s k-reqs k-KiB q-reqs q-KiB
	for comp in $COMPS; do
		[[ " $READS_OF " != *" sequential "* ]] ||
			measure "sequential $MIB MiB, $comp" "$K/$comp" "/$comp" "-j 4" "pread big 0 $size"
	done
	for comp in $COMPS; do
		[[ " $READS_OF " != *" random "* ]] ||
			measure "random 4 KiB x $READS, $comp" "$K/$comp" "/$comp" "-j 8" "randread big $READS 4096 7"
	done
	[[ " $READS_OF " != *" walk "* ]] || measure "walk of $TREE_FILES files" "$K/${COMPS%% *}/tree" /qtree "" "tree"
	store_down
done
trap - EXIT

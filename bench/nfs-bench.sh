#!/usr/bin/env bash
# NFS benchmark: our plug-in serving SquashFS images against the same images
# loop-mounted with the kernel's squashfs and exported by the server's own
# FSAL_VFS, and against FSAL_VFS over the source directory, in one run, with
# the same server binary and the same client (nfsq, several READs in flight),
# all on loopback inside private namespaces (tests/lib/nfs-harness.sh). The
# kernel's mounts live in the benchmark's private mount namespace.
#
# usage: bench/nfs-bench.sh            (as root; builds nfsq and the plug-in if needed)
#   BUILD_DIR        build directory (default: build)
#   BENCH_FILE_MIB   size of the read file in MiB (default 1024)
#   BENCH_COMPS      compressors of the images (default: lz4 zstd)
#   BENCH_BLOCKS     block sizes in KiB; the first serves every measurement, the
#                    others only random reads (default: 128 64 32)
#   BENCH_CACHE_MIB  our data_cache_size in MiB (default: the plug-in's own default)
#   BENCH_QUICK=1    smaller trees and file, for a smoke run
#
# Every figure is a ratio of speeds, ours over the kernel's squashfs (its time
# divided by ours: above 1 we are faster), and ours over FSAL_VFS on the plain
# directory. "cold": server restarted and the kernel's caches dropped right
# before the measurement; "warm": the same measurement repeated at once (best
# of two). rss: the server's peak resident memory (VmHWM) in MiB after our
# runs of that measurement.
set -euo pipefail
[ -z "${BENCH_TRACE:-}" ] || set -x
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter "10g" "$@"

MIB=${BENCH_FILE_MIB:-1024}
COMPS=${BENCH_COMPS:-lz4 zstd}
BLOCKS=${BENCH_BLOCKS:-128 64 32}
if [ -n "${BENCH_QUICK:-}" ]; then
	MIB=64 TREE_FILES=2000 FLAT=5000 SIZES="1000 10000"
else
	TREE_FILES=20000 FLAT=50000 SIZES="1000 10000 100000"
fi
read -r -a blocks <<<"$BLOCKS"
B0=${blocks[0]}
D=$NFSH_WORK/data	# exported through FSAL_VFS
M=$NFSH_WORK/media
K=$NFSH_WORK/kernel	# the images, loop-mounted
mkdir -p "$D" "$NFSH_WORK/bigonly" "$K"
echo "# building the trees ($MIB MiB file, $TREE_FILES-file tree, listings of $FLAT and $SIZES entries)"
bench_program_data "$D/big" "$MIB"
ln "$D/big" "$NFSH_WORK/bigonly/big"
mkdir -p "$D/tree"
for i in $(seq 0 $((TREE_FILES / 100 - 1))); do
	python3 "$NFSH_LIB/mktree.py" "$D/tree/d$i" flatdir=100 >/dev/null
done
python3 "$NFSH_LIB/mktree.py" "$D/flat" flatdir="$FLAT"
for n in $SIZES; do python3 "$NFSH_LIB/mktree.py" "$D/list$n" flatdir="$n"; done

echo "# packing the images and mounting them with the kernel's squashfs"
images=()
for comp in $COMPS; do
	for b in "${blocks[@]}"; do
		src=$D
		[ "$b" = "$B0" ] || src=$NFSH_WORK/bigonly
		nfsh_pack "$src" "$M" "$comp-$b" 1 "$comp" -b $((b * 1024))
		mkdir -p "$K/$comp-$b"
		mount -t squashfs -o loop,ro "$M/$comp-$b/1.sqfs" "$K/$comp-$b"
		images+=("$comp-$b")
	done
done
ls -l "$M"/*/1.sqfs | awk -v mib="$MIB" '{ split($NF, p, "/"); printf "#   %s: %d MiB (big file %.2fx smaller)\n", p[length(p) - 1], $5 / 1048576, mib * 1048576 / $5 }'
{
	id=1
	nfsh_export_vfs $((id++)) "$D" /vfs
	nfsh_export_vfs $((id++)) "$D/tree" /vfstree
	for im in "${images[@]}"; do
		nfsh_export_vfs $((id++)) "$K/$im" "/k-$im"
		nfsh_export_qor $((id++)) "/$im" "$M" "$im" 1
	done
	comp=${COMPS%% *}
	nfsh_export_vfs $((id++)) "$K/$comp-$B0/tree" /ktree # NFSv3 mounts it by its path
	nfsh_export_qor $((id++)) /qtree "$M" "$comp-$B0" 1 'export_path = "/tree";'
	if [ -n "${BENCH_CACHE_MIB:-}" ]; then
		echo "QOR { data_cache_size = $((BENCH_CACHE_MIB * 1048576)); }"
	fi
} | nfsh_conf

# Cold start: a fresh server and no cached pages of the loop devices, the
# kernel's squashfs or the images (the images live in a tmpfs, which stays).
restart() {
	nfsh_stop >/dev/null 2>&1 || true # the old server's exit status is not ours to judge
	sync
	echo 3 >/proc/sys/vm/drop_caches
	nfsh_start >/dev/null
}
# timed EXPORT OPTIONS COMMAND: seconds the nfsq command took (mount excluded)
timed() {
	# shellcheck disable=SC2086
	"$NFSQ" -t -T 120 $2 "$1" $3 2>&1 >/dev/null | sed -n 's/^seconds=//p'
}
peak_rss_mib() { awk '/^VmHWM:/ { printf "%d", $2 / 1024 }' "/proc/$NFSH_SERVER_PID/status"; }
# measure LABEL VFS_EXPORT KERNEL_EXPORT OUR_EXPORT OPTIONS COMMAND [TARGET]
measure() {
	local label=$1 opts=$5 cmd=$6 side a b rss=
	local -A t
	for side in "$2" "$3" "$4"; do
		restart
		t[$side.cold]=$(timed "$side" "$opts" "$cmd")
		a=$(timed "$side" "$opts" "$cmd")
		b=$(timed "$side" "$opts" "$cmd")
		t[$side.warm]=$(python3 -c "print(min($a, $b))")
	done
	rss=$(peak_rss_mib)
	python3 - "$label" "${t[$2.cold]}" "${t[$3.cold]}" "${t[$4.cold]}" "${t[$2.warm]}" "${t[$3.warm]}" \
		"${t[$4.warm]}" "$rss" "${7:-}" <<'EOF2'
import sys
label = sys.argv[1]
vc, kc, oc, vw, kw, ow = map(float, sys.argv[2:8])
rss, target = sys.argv[8], sys.argv[9]
print(f"{label:<40} {kc / oc:5.2f} {kw / ow:5.2f} {vc / oc:5.2f} {vw / ow:5.2f}  "
      f"{vc:7.3f} {kc:7.3f} {oc:7.3f} {vw:7.3f} {kw:7.3f} {ow:7.3f} {rss:>6}  {target}")
EOF2
}

nfsh_start
size=$((MIB * 1048576))
echo
echo "ratios: kernel's squashfs time / ours (k/q) and FSAL_VFS time / ours (v/q), above 1 ours is faster"
printf '%-40s %5s %5s %5s %5s  %7s %7s %7s %7s %7s %7s %6s  %s\n' measurement k/q-c k/q-w v/q-c v/q-w \
	vfs-c kern-c qor-c vfs-w kern-w qor-w rss target
for comp in $COMPS; do
	target=1.0
	[ "$comp" = zstd ] && target=0.9
	measure "sequential read $MIB MiB, $comp" "$D" "$K/$comp-$B0" "/$comp-$B0" "-j 4" "pread big 0 $size" \
		">= $target"
done
for comp in $COMPS; do
	for b in "${blocks[@]}"; do
		target=
		[ "$b" = "$B0" ] && target=">= 0.8 cold, 1.0 warm"
		measure "random 4 KiB x 20000, $comp, $b KiB blocks" "$D" "$K/$comp-$b" "/$comp-$b" "-j 8" \
			"randread big 20000 4096 7" "$target"
	done
done
comp=${COMPS%% *}
measure "recursive listing, $TREE_FILES files" "$D/tree" "$K/$comp-$B0/tree" /qtree "" "tree" ">= 1.0"
measure "listing one directory of $FLAT entries" "$D" "$K/$comp-$B0" "/$comp-$B0" "" "count flat" ">= 1.0"
for n in $SIZES; do
	measure "listing $n entries" "$D" "$K/$comp-$B0" "/$comp-$B0" "" "count list$n"
done
nfsh_stop >/dev/null 2>&1 || true
for im in "${images[@]}"; do umount "$K/$im"; done

#!/usr/bin/env bash
# NFS benchmark: our plug-in serving an image against the server's own FSAL_VFS
# serving the same tree from a directory, in one run, with the same server
# binary and the same client (nfsq, several READs in flight), all on loopback
# inside private namespaces (tests/lib/nfs-harness.sh).
#
# usage: bench/nfs-bench.sh            (as root; builds nfsq and the plug-in if needed)
#   BUILD_DIR     build directory (default: build)
#   BENCH_FILE_MIB  size of the read file in MiB (default 1024)
#   BENCH_QUICK=1   smaller trees, for a smoke run
#
# Every figure is a ratio of speeds, ours over FSAL_VFS (FSAL_VFS's time divided
# by ours: above 1 we are faster). "cold": the server was restarted right before
# the measurement; "warm": the same measurement repeated at once (best of two).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${NFSH_INSIDE:-}" != 1 ]; then
	build=${BUILD_DIR:-$top/build}
	if [ ! -x "$build/tests/fsalqor/nfsq" ] || [ ! -f "$build/fsalqor/libfsalqor.so" ]; then
		cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
		cmake --build "$build" -j2 --target nfsq fsalqor >/dev/null
	fi
	export NFSQ=$build/tests/fsalqor/nfsq FSALQOR=$build/fsalqor/libfsalqor.so
	export NFSH_TMPFS_SIZE=${NFSH_TMPFS_SIZE:-8g}
fi
set +e
. "$top/tests/lib/nfs-harness.sh"
nfsh_enter "$@"
set -e
NFSH_QUIET_LOG=1
nfsh_use_qor "$FSALQOR"

MIB=${BENCH_FILE_MIB:-1024}
if [ -n "${BENCH_QUICK:-}" ]; then
	MIB=64 TREE_FILES=2000 FLAT=5000 SIZES="1000 10000"
else
	TREE_FILES=20000 FLAT=50000 SIZES="1000 10000 100000"
fi
D=$NFSH_WORK/data	# exported through FSAL_VFS
M=$NFSH_WORK/media
mkdir -p "$D"
echo "# building the trees ($MIB MiB file, $TREE_FILES-file tree, listings of $FLAT and $SIZES entries)"
# Text-like data (words of a fixed vocabulary), compressible inside each image
# block by lz4 and by zstd as real backups are; a 16 MiB base, repeated with a
# distinct header per copy.
python3 - "$D/big" "$MIB" <<'EOF'
import random, sys
rnd = random.Random(1)
words = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(rnd.randint(2, 12)))
         for _ in range(800)]
base = bytearray()
while len(base) < 16 << 20:
    base += (" ".join(rnd.choices(words, k=12)) + "\n").encode()
base = bytes(base[:16 << 20])
with open(sys.argv[1], "wb") as f:
    left = int(sys.argv[2]) << 20
    copy = 0
    while left > 0:
        piece = (b"copy %08d " % copy + base)[:min(left, len(base))]
        f.write(piece)
        left -= len(piece)
        copy += 1
EOF
mkdir -p "$D/tree"
for i in $(seq 0 $((TREE_FILES / 100 - 1))); do
	python3 "$NFSH_LIB/mktree.py" "$D/tree/d$i" flatdir=100 >/dev/null
done
python3 "$NFSH_LIB/mktree.py" "$D/flat" flatdir="$FLAT"
for n in $SIZES; do python3 "$NFSH_LIB/mktree.py" "$D/list$n" flatdir="$n"; done

echo "# packing the images"
for comp in none lz4 zstd; do nfsh_pack "$D" "$M" "$comp" 1 "$comp"; done
ls -l "$M"/*/1.sqfs | awk '{ print "#   " $NF ": " int($5 / 1048576) " MiB" }'
{
	nfsh_export_vfs 1 "$D" /vfs
	nfsh_export_vfs 2 "$D/tree" /vfstree
	id=10
	for comp in none lz4 zstd; do nfsh_export_qor $((++id)) "/$comp" "$M" "$comp" 1; done
	nfsh_export_qor 20 /lz4tree "$M" lz4 1 'export_path = "/tree";'
} | nfsh_conf

# the old server's exit status is not this benchmark's business
restart() { nfsh_stop >/dev/null 2>&1 || true; nfsh_start >/dev/null; }
# timed EXPORT OPTIONS COMMAND: seconds the nfsq command took (mount excluded)
timed() {
	# shellcheck disable=SC2086
	"$NFSQ" -t -T 120 $2 "$1" $3 2>&1 >/dev/null | sed -n 's/^seconds=//p'
}
# measure LABEL FSAL_VFS_EXPORT OUR_EXPORT OPTIONS COMMAND [TARGET]
measure() {
	local label=$1 opts=$4 cmd=$5 side cold a b
	local -A t
	for side in "$2" "$3"; do
		restart
		cold=$(timed "$side" "$opts" "$cmd")
		a=$(timed "$side" "$opts" "$cmd")
		b=$(timed "$side" "$opts" "$cmd")
		t[$side.cold]=$cold
		t[$side.warm]=$(python3 -c "print(min($a, $b))")
	done
	python3 - "$label" "${t[$2.cold]}" "${t[$3.cold]}" "${t[$2.warm]}" "${t[$3.warm]}" "${6:-}" <<'EOF2'
import sys
label, vc, oc, vw, ow, target = sys.argv[1], *map(float, sys.argv[2:6]), sys.argv[6]
print(f"{label:<42} {vc / oc:6.2f} {vw / ow:6.2f}   {vc:8.3f} {oc:8.3f} {vw:8.3f} {ow:8.3f}  {target}")
EOF2
}
# per_entry SIZE: microseconds per entry of listing one directory, cold and warm
per_entry() {
	local n=$1 side c=() w=()
	for side in "$D" /lz4; do
		restart
		c+=("$(timed "$side" "" "count list$n")")
		w+=("$(timed "$side" "" "count list$n")")
	done
	python3 - "$n" "${c[@]}" "${w[@]}" <<'EOF'
import sys
n = int(sys.argv[1])
vc, oc, vw, ow = (float(x) / n * 1e6 for x in sys.argv[2:6])
print(f"{'listing %d entries, us per entry' % n:<42} {vc / oc:6.2f} {vw / ow:6.2f}   {vc:8.2f} {oc:8.2f} {vw:8.2f} {ow:8.2f}  flat")
EOF
}

nfsh_start
size=$((MIB * 1048576))
echo
echo "ratio = FSAL_VFS time / our time (above 1: ours faster); times in seconds"
printf '%-42s %6s %6s   %8s %8s %8s %8s  %s\n' measurement cold warm vfs-cold qor-cold vfs-warm qor-warm target
for comp in none lz4 zstd; do
	target=0.9
	[ "$comp" = zstd ] && target=0.6
	measure "sequential read $MIB MiB, $comp" "$D" "/$comp" "-j 8" "pread big 0 $size" ">= $target"
done
for comp in none lz4 zstd; do
	measure "random 4 KiB reads x 20000, $comp" "$D" "/$comp" "-j 8" "randread big 20000 4096 7"
done
measure "recursive listing, $TREE_FILES files" "$D/tree" /lz4tree "" "tree" ">= 1.0"
measure "listing one directory of $FLAT entries" "$D" /lz4 "" "count flat" ">= 1.0"
for n in $SIZES; do per_entry "$n"; done
nfsh_stop >/dev/null 2>&1 || true

#!/usr/bin/env bash
# Where the server's time goes during warm random 4 KiB reads: our plug-in and
# the kernel's squashfs (loop mount exported by FSAL_VFS) serve the same lz4
# image; each is timed, then `perf record -g` samples the server while our
# export serves the same reads again, and the report's top lines are printed.
#
# usage: bench/nfs-profile.sh          (as root; needs perf, builds like nfs-bench.sh)
#   PROFILE_MIB   size of the read file in MiB (default 256)
#   PROFILE_OUT   where perf.data is kept (default: not kept)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter "4g" "$@"
command -v perf >/dev/null || nfsh_die "perf is not installed (package linux-perf)"

D=$NFSH_WORK/data M=$NFSH_WORK/media K=$NFSH_WORK/kernel
mkdir -p "$D" "$K"
# head ends the pipe early, on purpose
{ find /usr/lib/x86_64-linux-gnu -type f -size +1M | sort | xargs cat 2>/dev/null |
	head -c $((${PROFILE_MIB:-256} << 20)) >"$D/big"; } || true
nfsh_pack "$D" "$M" lz4 1 lz4
mount -t squashfs -o loop,ro "$M/lz4/1.sqfs" "$K"
{ nfsh_export_vfs 1 "$K" /kernel; nfsh_export_qor 2 /qor "$M" lz4 1; } | nfsh_conf
nfsh_start
reads() { "$NFSQ" -t -j 8 "$1" randread big 20000 4096 7 2>&1 >/dev/null | sed -n 's/^seconds=//p'; }
for side in "$K" /qor; do
	echo "$side: cold $(reads "$side") s, warm $(reads "$side") s, $(reads "$side") s"
done
data=${PROFILE_OUT:-$NFSH_WORK/perf.data}
perf record -q -F 2000 -g -o "$data" -p "$NFSH_SERVER_PID" >/dev/null 2>&1 &
perf_pid=$!
sleep 0.5
for i in 1 2 3; do reads /qor >/dev/null; done
kill -INT "$perf_pid"
wait "$perf_pid" || true
set +o pipefail # head ends the report pipes early
echo "# samples of the server by library, then by function"
perf report -i "$data" --no-children -g none --sort dso 2>/dev/null | grep -v '^#' | grep -v '^$' | head -8
perf report -i "$data" --no-children -g none --sort dso,sym 2>/dev/null | grep -v '^#' | grep -v '^$' | head -15
nfsh_stop >/dev/null 2>&1 || true
umount "$K"

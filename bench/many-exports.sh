#!/usr/bin/env bash
# Many exports in one server: N copies of a small medium (2,000 files), served
# by our plug-in, against the same images loop-mounted with the kernel's
# squashfs and exported by the server's own FSAL_VFS, in one run, inside the
# test harness's private namespaces (tests/lib/nfs-harness.sh).
#
# usage: bench/many-exports.sh     (as root; builds nfsq and the plug-in if needed)
#   BUILD_DIR         build directory (default: build)
#   BENCH_EXPORTS     export counts (default: 1000 3000)
#   BENCH_IDLE_WAIT   seconds to wait for idle media to be released (default 40)
#   BENCH_SIDES       which servers (default: qor kernel)
#
# Per count and side: seconds from the server's start until every export has
# answered (one client call per export, in a row), the server's resident size
# (VmRSS, MiB) then, after one 4 KiB read of a file from each export (the
# seconds those reads took), and (ours only) after the idle period with the
# seconds the same reads took then, and the seconds from a SIGHUP that adds one
# export until that export answers. "base" is the same server with one export
# of an empty directory and nothing else.
set -euo pipefail
[ -z "${BENCH_TRACE:-}" ] || set -x
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter "4g" "$@"

COUNTS=${BENCH_EXPORTS:-1000 3000}
IDLE_WAIT=${BENCH_IDLE_WAIT:-40}
M=$NFSH_WORK/media
K=$NFSH_WORK/kernel
mkdir -p "$NFSH_WORK/src" "$M" "$K" "$NFSH_WORK/empty"
python3 "$NFSH_LIB/mktree.py" "$NFSH_WORK/src/tree" flatdir=2000 >/dev/null
head -c 300000 /usr/bin/bash >"$NFSH_WORK/src/file" # one 128 KiB block and more of program code
nfsh_pack "$NFSH_WORK/src" "$NFSH_WORK" one 1 lz4
max=0
for n in $COUNTS; do [ "$n" -le "$max" ] || max=$n; done
for i in $(seq 1 $((max + 1))); do
	mkdir -p "$M/m$i"
	cp "$NFSH_WORK/one/1.sqfs" "$M/m$i/1.sqfs"
done
cleanup() {
	nfsh_stop >/dev/null 2>&1 || true
	for d in "$K"/m*; do ! mountpoint -q "$d" || umount "$d"; done
}
trap cleanup EXIT

rss_mib() { awk '/^VmRSS:/ { printf "%d", $2 / 1024 }' "/proc/$NFSH_SERVER_PID/status"; }
now() { date +%s.%N; }
since() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" "$1" "$(now)"; }
# conf SIDE FROM TO: the exports m FROM..TO of one side
conf() {
	local i
	for i in $(seq "$2" "$3"); do
		if [ "$1" = qor ]; then
			nfsh_export_qor "$i" "/m$i" "$M" "m$i" 1
		else
			nfsh_export_vfs "$i" "$K/m$i" "/m$i"
		fi
	done
}
# name SIDE I: what NFSv3 mounts, the export's path
name() { if [ "$1" = qor ]; then echo "/m$2"; else echo "$K/m$2"; fi; }
answer_all() { # SIDE N: every export answers a lookup of its root
	local i
	for i in $(seq 1 "$2"); do "$NFSQ" "$(name "$1" "$i")" stat / >/dev/null; done
}
read_all() {
	local i
	for i in $(seq 1 "$2"); do "$NFSQ" "$(name "$1" "$i")" pread file 0 4096 >/dev/null; done
}

nfsh_export_vfs 1 "$NFSH_WORK/empty" /empty | nfsh_conf
nfsh_start
sleep 2
echo "base: server with one empty VFS export: rss $(rss_mib) MiB"
nfsh_stop || true

printf '%-6s %-5s %14s %7s %6s %8s %8s %8s %6s\n' side n start_s rss_MiB read_s read_MiB idle_MiB reread_s hup_s
for n in $COUNTS; do
	for side in ${BENCH_SIDES:-qor kernel}; do
		if [ "$side" = kernel ]; then
			t0=$(now)
			for i in $(seq 1 $((n + 1))); do
				mkdir -p "$K/m$i"
				mountpoint -q "$K/m$i" || mount -t squashfs -o loop,ro "$M/m$i/1.sqfs" "$K/m$i"
			done
			mount_s=$(since "$t0")
		fi
		conf "$side" 1 "$n" | nfsh_conf
		t0=$(now)
		NFSH_START_SECONDS=600 nfsh_start
		answer_all "$side" "$n"
		start_s=$(since "$t0")
		[ "$side" = qor ] || start_s="$start_s+${mount_s}mount"
		rss=$(rss_mib)
		t0=$(now)
		read_all "$side" "$n"
		read_s=$(since "$t0")
		rss_read=$(rss_mib)
		idle=- reread_s=-
		if [ "$side" = qor ]; then
			sleep "$IDLE_WAIT"
			idle=$(rss_mib)
			t0=$(now)
			read_all "$side" "$n"
			reread_s=$(since "$t0")
		fi
		conf "$side" 1 $((n + 1)) | nfsh_conf
		t0=$(now)
		kill -HUP "$NFSH_SERVER_PID"
		until "$NFSQ" "$(name "$side" $((n + 1)))" stat / >/dev/null 2>&1; do sleep 0.05; done
		hup_s=$(since "$t0")
		printf '%-6s %-5s %14s %7s %6s %8s %8s %8s %6s\n' "$side" "$n" "$start_s" "$rss" "$read_s" "$rss_read" \
			"$idle" "$reread_s" "$hup_s"
		nfsh_stop || true
		if [ "$side" = kernel ]; then
			for d in "$K"/m*; do ! mountpoint -q "$d" || umount "$d"; done
		fi
	done
done

#!/usr/bin/env bash
# The server in a memory cgroup: data_cache_size unset, a limit of 768 MiB;
# one client streams 2 GiB of distinct compressed data through our plug-in
# while a second process in the same cgroup takes 512 MiB. The server must
# live and every byte read must match. Inside the test harness's private
# namespaces (tests/lib/nfs-harness.sh); the cgroup is made below the one this
# script runs in (cgroup v2 where its memory controller is available, else v1)
# and removed at the end.
#
# usage: bench/cgroup-stream.sh    (as root; builds nfsq and the plug-in if needed)
#   BUILD_DIR        build directory (default: build)
#   BENCH_FILE_MIB   MiB streamed (default 2048)
#   BENCH_LIMIT_MIB  the cgroup's limit (default 768)
#   BENCH_HOG_MIB    what the second process takes (default 512)
set -euo pipefail
[ -z "${BENCH_TRACE:-}" ] || set -x
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter "8g" "$@"

MIB=${BENCH_FILE_MIB:-2048}
LIMIT=${BENCH_LIMIT_MIB:-768}
HOG=${BENCH_HOG_MIB:-512}
own=$(sed -n 's/^0:://p' /proc/self/cgroup)
if [ -n "$own" ] && grep -qw memory "/sys/fs/cgroup$own/cgroup.subtree_control" 2>/dev/null; then
	CG=$(mktemp -d "/sys/fs/cgroup$own/qor-bench.XXXXXX")
	echo $((LIMIT << 20)) >"$CG/memory.max"
	usage_file=memory.peak
else
	own=$(sed -n 's/^[0-9]*:\([^:]*,\)\{0,1\}memory\(,[^:]*\)\{0,1\}://p' /proc/self/cgroup)
	CG=$(mktemp -d "/sys/fs/cgroup/memory$own/qor-bench.XXXXXX")
	echo $((LIMIT << 20)) >"$CG/memory.limit_in_bytes"
	usage_file=memory.max_usage_in_bytes
fi
hog_pid=
cleanup() {
	[ -z "$hog_pid" ] || kill -KILL "$hog_pid" 2>/dev/null || true
	nfsh_stop >/dev/null 2>&1 || true
	sleep 0.2
	rmdir "$CG" 2>/dev/null || true
}
trap cleanup EXIT

D=$NFSH_WORK/data M=$NFSH_WORK/media
mkdir -p "$D"
echo "# $MIB MiB of program code and data, packed with lz4"
bench_program_data "$D/big" "$MIB"
want=$(sha256sum <"$D/big" | cut -d' ' -f1)
nfsh_pack "$D" "$M" big 1 lz4
NFSH_FSAL_LOG_LEVEL=INFO
nfsh_export_qor 1 /big "$M" big 1 | nfsh_conf
# The server joins the cgroup before it becomes ganesha.nfsd.
NFSH_SERVER=(sh -c 'echo $$ >"$0/cgroup.procs" && exec ganesha.nfsd "$@"' "$CG")
nfsh_start
cache=$(sed -n 's/.*FSAL_QOR data cache size = \([0-9]*\).*/\1/p' "$NFSH_LOG" | tail -1)
echo "# cgroup $CG, limit $LIMIT MiB; our data cache bound ${cache:-?} bytes"

# The second process joins the cgroup and takes its memory in 16 MiB steps,
# two seconds into the stream, and holds it for 20 s.
cat >"$NFSH_WORK/hog.py" <<'EOF'
import sys, time
held = []
for i in range(int(sys.argv[1]) // 16):
    held.append(bytearray(b"\x01" * (16 << 20)))
    time.sleep(0.02)
print("# the second process holds", len(held) * 16, "MiB", flush=True)
time.sleep(20)
EOF
(sleep 2 && exec sh -c 'echo $$ >"$0/cgroup.procs" && exec python3 "$1" "$2"' "$CG" "$NFSH_WORK/hog.py" "$HOG") &
hog_pid=$!
# The server's resident size once a second, while the stream runs and after.
(while kill -0 "$NFSH_SERVER_PID" 2>/dev/null; do
	awk '/^VmRSS:/ { printf "%d ", $2 / 1024 }' "/proc/$NFSH_SERVER_PID/status" 2>/dev/null
	sleep 1
done >"$NFSH_WORK/rss") &
t0=$SECONDS
got=$("$NFSQ" -j 4 /big pread big 0 $((MIB << 20)) | sha256sum | cut -d' ' -f1)
hog_status=0
wait "$hog_pid" || hog_status=$?
hog_pid=
alive=no
! kill -0 "$NFSH_SERVER_PID" 2>/dev/null || alive=yes
echo "streamed $MIB MiB in $((SECONDS - t0)) s"
echo "server alive: $alive; every byte matched: $([ "$got" = "$want" ] && echo yes || echo NO)"
echo "second process exit status: $hog_status (137: killed)"
echo "cgroup peak: $(($(cat "$CG/$usage_file") >> 20)) MiB (page cache included)"
echo "server resident MiB, once a second: $(cat "$NFSH_WORK/rss")"
echo "server peak resident: $(awk '/^VmHWM:/ { printf "%d", $2 / 1024 }' "/proc/$NFSH_SERVER_PID/status" 2>/dev/null || echo '?') MiB"
grep -h oom_kill "$CG/memory.oom_control" "$CG/memory.events" 2>/dev/null | sed 's/^/cgroup: /' || true
[ "$alive" = yes ] && [ "$got" = "$want" ]

#!/usr/bin/env bash
# First-request latency of an export confined by export_path, on a medium of
# 1,000,000 objects (empty files in 1,000 directories under /a, a few under /b),
# against the same request on an export of the whole medium, in one run with
# the same server and client (tests/lib/nfs-harness.sh namespaces).
#
# The first request on a confined export finds the objects under its path
# (one bit per inode of the medium); every later request tests one bit.
#
# usage: bench/confined-export.sh      (as root; builds nfsq and the plug-in if needed)
#   BUILD_DIR        build directory (default: build)
#   BENCH_OBJECTS    objects under /a (default 1000000; a multiple of 1000)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter "" "$@"

OBJECTS=${BENCH_OBJECTS:-1000000}
M=$NFSH_WORK/media
mkdir -p "$M/big"
: >"$NFSH_WORK/empty"
echo "# describing and packing $OBJECTS empty files"
python3 - "$NFSH_WORK/desc" "$OBJECTS" <<'EOF'
import sys
dirs = int(sys.argv[2]) // 1000
with open(sys.argv[1], "w") as f:
    f.write("dir /a 0755 0 0\n")
    for d in range(dirs):
        f.write(f"dir /a/d{d:04} 0755 0 0\n")
        for i in range(1000):
            f.write(f"file /a/d{d:04}/f{i:04} 0644 0 0 empty\n")
    f.write("dir /b 0755 0 0\n")
    for i in range(10):
        f.write(f"file /b/f{i} 0644 0 0 empty\n")
EOF
gensquashfs -e -c lz4 -q -j 2 -F "$NFSH_WORK/desc" "$M/big/1.sqfs" >/dev/null
echo "#   $(($(stat -c %s "$M/big/1.sqfs") / 1048576)) MiB"
{
	nfsh_export_qor 1 /whole "$M" big 1
	nfsh_export_qor 2 /confined "$M" big 1 'export_path = "/a";'
	nfsh_export_qor 3 /small "$M" big 1 'export_path = "/b";'
} | nfsh_conf

# timed EXPORT NAME: seconds of a whole client run (mount, FSINFO, LOOKUPs,
# GETATTR): the client's first request with a handle is its FSINFO.
timed() {
	local t0=$EPOCHREALTIME
	"$NFSQ" -T 120 "$1" stat "$2" >/dev/null || { echo "request on $1 failed" >&2; exit 1; }
	python3 -c "print(f'{$EPOCHREALTIME - $t0:.6f}')"
}
# first EXPORT NAME: T1, the best of three first client runs, each right after
# a server start, and T2, the best of three runs after one (the server's
# process must stay in this shell)
first() {
	local i f=() l=()
	for i in 1 2 3; do
		nfsh_stop >/dev/null 2>&1 || true
		nfsh_start >/dev/null || { tail -5 "$NFSH_LOG" >&2; exit 1; }
		f+=("$(timed "$1" "$2")")
		l+=("$(timed "$1" "$2")")
	done
	T1=$(python3 -c "print(min(${f[0]}, ${f[1]}, ${f[2]}))")
	T2=$(python3 -c "print(min(${l[0]}, ${l[1]}, ${l[2]}))")
}
# the same directories through both exports
first /whole a/d0000/f0000
whole_1=$T1 whole_2=$T2
first /confined d0000/f0000
conf_1=$T1 conf_2=$T2
first /whole b/f1
wsmall_1=$T1 wsmall_2=$T2
first /small f1
small_1=$T1 small_2=$T2
nfsh_stop >/dev/null 2>&1 || true
echo
echo "ratio = our time / the whole medium's time (same client run, same server run); times in seconds"
python3 - "$whole_1" "$whole_2" "$conf_1" "$conf_2" "$wsmall_1" "$wsmall_2" "$small_1" "$small_2" "$OBJECTS" <<'EOF'
import sys
w1, w2, c1, c2, v1, v2, s1, s2 = map(float, sys.argv[1:9])
n = int(sys.argv[9])
print(f"{'export':<44} {'first':>9} {'ratio':>7} {'later':>9} {'ratio':>7}")
for label, a, b, ra, rb in (("whole medium, a/d0000/f0000 (reference)", w1, w2, w1, w2),
                            ("export_path /a (%d objects), d0000/f0000" % n, c1, c2, w1, w2),
                            ("whole medium, b/f1 (reference)", v1, v2, v1, v2),
                            ("export_path /b (10 objects), f1", s1, s2, v1, v2)):
    print(f"{label:<44} {a:9.4f} {a / ra:7.2f} {b:9.4f} {b / rb:7.2f}")
EOF

# shellcheck shell=bash
# Sourced by the NFS benchmarks: builds the client and the plug-in when the
# build lacks them, then re-executes the benchmark inside the test harness's
# private namespaces (tests/lib/nfs-harness.sh) with our plug-in configured.
#
# usage: bench_enter TMPFS_SIZE "$@"   (TMPFS_SIZE "" keeps the harness's default)
#   BUILD_DIR   build directory (default: build)
bench_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bench_enter() {
	local tmpfs=$1 build
	shift
	if [ "${NFSH_INSIDE:-}" != 1 ]; then
		build=${BUILD_DIR:-$bench_top/build}
		if [ ! -x "$build/tests/fsalqor/nfsq" ] || [ ! -f "$build/fsalqor/libfsalqor.so" ]; then
			cmake -S "$bench_top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
			cmake --build "$build" -j2 --target nfsq fsalqor >/dev/null
		fi
		export NFSQ=$build/tests/fsalqor/nfsq FSALQOR=$build/fsalqor/libfsalqor.so
		[ -z "$tmpfs" ] || export NFSH_TMPFS_SIZE=${NFSH_TMPFS_SIZE:-$tmpfs}
	fi
	set +e
	. "$bench_top/tests/lib/nfs-harness.sh"
	nfsh_enter "$@"
	set -e
	NFSH_QUIET_LOG=1
	nfsh_use_qor "$FSALQOR"
}

# bench_program_data FILE MIB: program code and data, this host's own libraries,
# programs and shared data concatenated in a fixed order (repeated if the host
# has too little), about 2-3x compressible as real system backups are.
bench_program_data() {
	python3 - "$1" "$2" <<'EOF'
import os, sys
want = int(sys.argv[2]) << 20
paths = []
for top in ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/share", "/usr/lib"):
    for d, dirs, files in os.walk(top):
        dirs.sort()
        paths += [os.path.join(d, f) for f in sorted(files)]
with open(sys.argv[1], "wb") as out:
    left = want
    while left > 0:
        for p in paths:
            try:
                if os.path.islink(p) or not os.path.isfile(p):
                    continue
                with open(p, "rb") as f:
                    data = f.read(left)
            except OSError:
                continue
            out.write(data)
            left -= len(data)
            if left == 0:
                break
EOF
}

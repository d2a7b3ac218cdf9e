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

#!/usr/bin/env bash
# The test harness itself, against the server's own FSAL_VFS: the server starts
# in private namespaces, serves NFSv3 on loopback, nfsq sees the tree exactly as
# it is on disk, and stopping the server leaves no process behind.
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter "$@"
: "${NFSQ:?set NFSQ to the nfsq client}"

T=$NFSH_WORK/tree
python3 "$NFSH_LIB/mktree.py" "$T" sizes links names modes mtimes nested empty
nfsh_export_vfs 1 "$T" /vfs | nfsh_conf
check "server starts" nfsh_start

check_eq "stat of a nested file" "$(src_stat "$T/level0/level1/level2/level3/level4/level5/level6/level7/level8/level9/level10/level11/deep-file")" \
	"$(nfs_stat "$(nfsq "$T" stat level0/level1/level2/level3/level4/level5/level6/level7/level8/level9/level10/level11/deep-file)")"
check_eq "pipelined read of a multi-block file" "$(cmp "$T/multi-block" <(nfsq -j 8 -c 16384 "$T" pread multi-block 0 100000000) && echo same)" same
check_eq "read from an odd offset" "$(tail -c +70000 "$T/multi-block" | head -c 99999 | md5sum)" \
	"$(nfsq -j 3 -c 4096 "$T" pread multi-block 69999 99999 | md5sum)"
check_eq "read past the end" "0" "$(nfsq "$T" pread size-1 5 10 | wc -c)"
check_eq "readlink" "no/such/file" "$(nfsq "$T" readlink links/dangling)"
fh=$(nfsq "$T" fh size-1)
check_eq "getattr by raw handle" "$(nfsq "$T" stat size-1)" "$(nfsq "$T" getattr "$fh")"
check_eq "a garbled handle is refused" "error NFS3ERR_BADHANDLE" "$(nfsq "$T" getattr "${fh}00")"

# The walk sees every object; its listing is what find(1) gives on the source.
nfsq -j 4 "$T" walk 2048 >"$NFSH_WORK/walk"
check_eq "walk lists every object" "$(cd "$T" && find . | LC_ALL=C sort | md5sum)" \
	"$(cut -f1 "$NFSH_WORK/walk" | sed 's/\\x0a/\n/g; s/\\x09/\t/g' | LC_ALL=C sort | md5sum)"
check_eq "walk hashes match a local read" "$(nfsq "$T" hash text | cut -d' ' -f1)" \
	"$(awk -F'\t' '$1 == "./text" { sub("hash=", "", $12); print $12 }' "$NFSH_WORK/walk")"

check "server stops on SIGTERM" nfsh_stop
check "no server process is left" test -z "$(pgrep -x ganesha.nfsd)"
done_testing

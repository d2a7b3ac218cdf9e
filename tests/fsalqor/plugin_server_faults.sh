#!/usr/bin/env bash
# The plug-in's answers where the server itself reacts to them: the server
# counts the objects' open descriptors through close's answer, drops requests
# that fail with ERR_FSAL_NOMEM (the client then retries forever), and asks the
# plug-in to remake a link from its handle once the link left its cache.
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

python3 "$NFSH_LIB/mktree.py" "$T" sizes specials links nested bigdir=300
nfsh_pack "$T" "$M" faults 1 zstd
q() { nfsq "$@"; }

nfsh_export_qor 1 /q "$M" faults 1 | nfsh_conf
check "server starts" nfsh_start

# Files enter the server's cache through listings: the ones read get their own
# descriptor, the others only attributes. When the server stops, it closes
# every cached file.
nfs-ls -R "$NFSH_URL/q" >/dev/null
for f in size-1 size-513 multi-block text; do
	check_eq "read of $f" "$(md5sum <"$T/$f")" "$(q -j 4 /q pread "$f" 0 100000000 | md5sum)"
done
# Several readers of one file at once: some of them get a temporary descriptor
# while another holds the object's lock.
want=$(md5sum <"$T/multi-block")
readers=()
for i in 1 2 3 4 5 6; do
	q -j 8 /q pread multi-block 0 100000000 | md5sum >"$NFSH_WORK/concurrent.$i" &
	readers+=($!)
done
wait "${readers[@]}"
check_eq "six concurrent readers of one file read it whole" "$want" "$(sort -u "$NFSH_WORK"/concurrent.* )"
check_eq "a socket is looked up as absent, at once" "error NFS3ERR_NOENT" "$(q /q stat specials/socket)"
check_eq "a character device too" "error NFS3ERR_NOENT" "$(q /q stat specials/chardev)"
check_eq "a block device too" "error NFS3ERR_NOENT" "$(q /q stat specials/blockdev)"
check_eq "the server still serves" "after" "$(q /q pread specials/z-after 0 100)"
# Handles made up for them, with their own inode numbers and modes: stale,
# never a server fault.
ffh=$(q /q fh specials/z-after)
bad=
for s in socket chardev blockdev; do
	ino=$(rdsquashfs -s "/specials/$s" "$M/faults/1.sqfs" | awk -F': ' '$1 == "Inode number" { print $2 }')
	out=$(q /q getattr "$(qfh_set "$(qfh_set "$ffh" id "$ino")" mode "0x$(stat -c %f "$T/specials/$s")")")
	[ -n "$ino" ] && [ "$out" = "error NFS3ERR_STALE" ] || bad+="$s ($ino): $out; "
done
check_eq "a handle of a socket or device is stale" "" "$bad"

lfh=$(q /q fh links/relative)
dfh=$(q /q fh level0/level1)
check "server stops" nfsh_stop
check "closing every cached object kept the open-descriptor count sound" \
	bash -c "! grep -q 'open_fd_count is negative' '$NFSH_LOG'"
check "the server exits regularly" grep -q "NFS EXIT: regular exit" "$NFSH_LOG"

check "server starts again" nfsh_start
check_eq "a link's handle is made again after a restart" "$(readlink "$T/links/relative")" "$(q /q readlink-fh "$lfh")"
check_eq "a directory's handle too" "$(q /q stat level0/level1)" "$(q /q getattr "$dfh")"
check "server stops" nfsh_stop
done_testing

#!/usr/bin/env bash
# Symbolic links through the server: relative, absolute, dangling and
# 4095-byte targets, READLINK on objects that are not links, and link handles
# kept across a server restart.
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

python3 "$NFSH_LIB/mktree.py" "$T" links
nfsh_pack "$T" "$M" links 1 lz4
q() { nfsq "$@"; }

nfsh_export_qor 1 /q "$M" links 1 | nfsh_conf
check "server starts" nfsh_start

for l in relative relative-up absolute dangling long-4095; do
	check_eq "readlink of $l" "$(readlink "$T/links/$l")" "$(q /q readlink "links/$l")"
	check_eq "attributes of $l" "$(src_stat "$T/links/$l")" "$(nfs_stat "$(q /q stat "links/$l")")"
done
check_eq "a 4095-byte target is whole" "4095" "$(q /q readlink links/long-4095 | wc -c)"
check_eq "readlink of a regular file is refused" "error NFS3ERR_INVAL" "$(q /q readlink links/target)"
check_eq "readlink of a directory is refused" "error NFS3ERR_INVAL" "$(q /q readlink links)"
check_eq "reading a link's data is refused" "error" "$(q /q pread links/relative 0 10 | cut -d' ' -f1)"
check_eq "the link's target is still readable" "link target" "$(q /q pread links/target 0 100)"

lfh=$(q /q fh links/relative)
rfh=$(q /q fh links/long-4095)
check "server restarts" nfsh_restart
check_eq "a link's handle from before a restart still reads" "target" "$(q /q readlink-fh "$lfh")"
check_eq "and so does a long link's" "$(readlink "$T/links/long-4095")" "$(q /q readlink-fh "$rfh")"
check "server stops" nfsh_stop
done_testing

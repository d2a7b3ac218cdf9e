#!/usr/bin/env bash
# Directory listings through the server: an empty directory, 20,000 entries with
# the server's directory cache in chunks and with it off (then every client
# READDIR resumes from a cookie), and a directory whose sockets and devices must
# not hide the other entries.
set -u
. "$(dirname "$0")/../lib/nfs-harness.sh"
nfsh_enter_qor "$@"

python3 "$NFSH_LIB/mktree.py" "$T" empty specials bigdir=20000
echo hello >"$T/bigdir/e000100"
nfsh_pack "$T" "$M" listing 1 lz4
q() { nfsq "$@"; }
names() { q /q ls "$1" "${2:-65536}" | cut -f1 | LC_ALL=C sort; }

check_listings() {
	local mode=$1 lines
	# Routine calls log nothing at the server's default level. The listing
	# of every directory comes from the handles of the one above it: the
	# server does not know their parents and asks the plug-in for "..".
	lines=$(wc -l <"$NFSH_LOG")
	check_eq "$mode: a recursive listing sees every object" \
		"objects=$(find "$T" ! -type s ! -type c ! -type b | wc -l)" "$(q /q tree 16384)"
	lines=$(($(wc -l <"$NFSH_LOG") - lines))
	check "$mode: ... and adds fewer than 10 lines to the server's log ($lines)" test "$lines" -lt 10
	check_eq "$mode: an empty directory lists nothing" "entries=0 distinct=0 calls=1" "$(q /q count empty)"
	check_eq "$mode: 20,000 entries, each exactly once" "entries=20000 distinct=20000" \
		"$(q /q count bigdir | cut -d' ' -f1,2)"
	local small
	lines=$(wc -l <"$NFSH_LOG")
	small=$(q /q count bigdir 4096)
	check_eq "$mode: 20,000 entries in small replies, each exactly once" "entries=20000 distinct=20000" \
		"$(echo "$small" | cut -d' ' -f1,2)"
	lines=$(($(wc -l <"$NFSH_LOG") - lines))
	check "$mode: ... adding fewer than 10 lines to the server's log ($lines)" test "$lines" -lt 10
	check "$mode: small replies took many calls ($small)" test "${small##*calls=}" -gt 100
	check_eq "$mode: the names are the directory's names" "$(ls -A "$T/bigdir" | LC_ALL=C sort | md5sum)" \
		"$(names bigdir 8192 | md5sum)"
	q /q ls bigdir 16384 >"$NFSH_WORK/ls"
	check_eq "$mode: no cookie is 0, 1 or 2, and no two are equal" "" \
		"$(awk -F'\t' '{ c = $2; sub("cookie=", "", c); if (c + 0 < 3 || seen[c]++) print }' "$NFSH_WORK/ls" | head -3)"
	local e100
	e100=$(awk -F'\t' '$1 == "e000100" { print $3 }' "$NFSH_WORK/ls")
	check_eq "$mode: entries carry their attributes" "reg 0644 6" "$(attr type "$e100") $(attr mode "$e100") $(attr size "$e100")"
	check_eq "$mode: sockets and devices do not hide the other entries" "$(printf 'a-before\nfifo\nz-after')" "$(names specials)"
	check_eq "$mode: the same in small replies" "$(printf 'a-before\nfifo\nz-after')" "$(names specials 600)"
	check_eq "$mode: a FIFO is listed as a FIFO" "fifo" \
		"$(attr type "$(q /q ls specials | awk -F'\t' '$1 == "fifo" { print $3 }')")"
	# unreachable, but answered: a request the server drops leaves clients hanging
	check_eq "$mode: a socket cannot be looked up" "error" "$(q -T 10 /q stat specials/socket | cut -d' ' -f1)"
	check_eq "$mode: a device cannot be looked up" "error" "$(q -T 10 /q stat specials/chardev | cut -d' ' -f1)"
	check_eq "$mode: a file after them reads" "after" "$(q /q pread specials/z-after 0 100)"
}

nfsh_export_qor 1 /q "$M" listing 1 | nfsh_conf
check "server starts" nfsh_start
check_listings "cached in chunks"
nfsh_stop

{ echo 'MDCACHE { Dir_Chunk = 0; }'; nfsh_export_qor 1 /q "$M" listing 1; } | nfsh_conf
check "server starts without the directory cache" nfsh_start
check_listings "no directory cache"
check "server stops" nfsh_stop
done_testing

# qor-mkmedium: media land in MEDIA_DIR/MINOR/SEQ.sqfs with an export table, the chosen
# compressor and block size, are never replaced unasked, and a refused run leaves nothing.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/appliance.sh"
. "$(dirname "${BASH_SOURCE[0]}")/../lib/nfs-harness.sh"	# check, done_testing
appliance_workdir qor-mkmedium
cd "$W"
NFSH_WORK=$W

# made MEDIUM SAYS BLOCK ARGS...: qor-mkmedium ARGS makes media/MEDIUM: SAYS, BLOCK-byte
# blocks, an export table and src/sub/a (read through libsquashfs, like the server)
made() {
  local m=media/$1 says=$2 block=$3 sb st=0
  shift 3
  { [ "$("$MKMEDIUM" "$@")" = "$m" ] && sb=$(unsquashfs -s "$m") && [ "$(rdsquashfs -c /sub/a "$m")" = "$(cat src/sub/a)" ] &&
    grep -q "^$says" <<<"$sb" && grep -qx "Block size $block" <<<"$sb" && grep -q 'exportable via NFS' <<<"$sb"; } >/dev/null 2>&1 || st=1
  check "$* makes $m: $says, $block-byte blocks" test $st = 0
}
refuses() { local st=0; "$MKMEDIUM" "${@:2}" >/dev/null 2>&1 || st=$?; check "refuses $1 (status $st)" test $st != 0 -a $st -lt 126; }

mkdir -p src/sub media
printf 'one\n' >src/sub/a
made r1/7.sqfs 'Compression lz4' 131072 src media r1 7
printf 'two\n' >src/sub/a
refuses "to replace an existing medium" src media r1 7
check "the existing medium is left as it was" test "$(rdsquashfs -c /sub/a media/r1/7.sqfs)" = one
made r1/7.sqfs 'Compression zstd' 131072 -f -c zstd src media r1 7
made r4/7.sqfs 'Data is uncompressed' 131072 -c none src media r4 007
made r5/1.sqfs 'Compression lz4' 65536 -b 65536 src media r5 1
made t/3.sqfs 'Compression gzip' 32768 -c gzip -b 32K - media t 3 < <(tar -C src -cf - .)
tar -C src -cf backup.tar .
made t/4.sqfs 'Compression xz' 1048576 -c xz -b 1M backup.tar media t 4
for b in 4000 2K 2M 0 -1 1x 99999999999999999999; do refuses "block size $b" -b "$b" src media r3 1; done
while IFS='|' read -r what src media minor seq opt; do refuses "$what" $opt "$src" "$media" "$minor" "$seq" </dev/null; done <<'CASES'
minor id '..'|src|media|..|1|
a minor id with a slash|src|media|a/b|1|
an empty minor id|src|media||1|
sequence number 0|src|media|r3|0|
a sequence number past 32 bits|src|media|r3|4294967296|
a sequence number that is not decimal|src|media|r3|0x10|
an unknown compressor|src|media|r3|1|-c lzo
a media directory that does not exist|src|nowhere|r3|1|
a source that does not exist|nosuch|media|r3|1|
a file that is not a tar archive|src/sub/a|media|r3|1|
an empty tar stream|-|media|r3|1|
CASES
check "refused runs leave no medium or temporary file" test -z "$(find media -type f \( -name '.*' -o -path '*/r3/*' \))"
done_testing

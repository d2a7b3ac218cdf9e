# qor-mkmedium: media land in the right place with an export table and the chosen
# compressor, are never replaced unasked, and a failed run leaves nothing behind.
set -euo pipefail
: "${MKMEDIUM:?set MKMEDIUM to qor-mkmedium}"
W=$(mktemp -d /tmp/qor-mkmedium.XXXXXX)
trap 'rm -rf "$W"' EXIT
failures=0
ok() { printf 'ok - %s\n' "$1"; }
not_ok() { printf 'not ok - %s\n' "$1"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@" >/dev/null; then ok "$what"; else not_ok "$what"; fi; }
refuses() { local what=$1; shift; if "$@" >/dev/null 2>"$W/err"; then not_ok "$what"; else ok "$what"; fi; }
superblock() { unsquashfs -s "$1" 2>/dev/null; }
# rdsquashfs reads through libsquashfs, like the server (unsquashfs cannot read
# tar2sqfs's lz4 images).
content() { rdsquashfs -c "/$2" "$1"; }
no_temporaries() { [ -z "$(find "$W/media" -name '.*' -type f)" ]; }

mkdir -p "$W/src/sub" "$W/media"
printf 'one\n' > "$W/src/sub/a"
ln -s sub/a "$W/src/link"

check "a directory becomes MEDIA_DIR/MINOR/SEQ.sqfs" \
  test "$("$MKMEDIUM" "$W/src" "$W/media" r1 7)" = "$W/media/r1/7.sqfs"
check "the default compressor is lz4" grep -q '^Compression lz4' <(superblock "$W/media/r1/7.sqfs")
check "the medium has an export table" grep -q 'exportable via NFS' <(superblock "$W/media/r1/7.sqfs")
check "the medium holds the tree" \
  test "$(content "$W/media/r1/7.sqfs" sub/a)" = one

printf 'two\n' > "$W/src/sub/a"
refuses "an existing medium is not replaced" "$MKMEDIUM" "$W/src" "$W/media" r1 7
check "and keeps its content" test "$(content "$W/media/r1/7.sqfs" sub/a)" = one
check "-f replaces it" "$MKMEDIUM" -f -c zstd "$W/src" "$W/media" r1 7
check "with the new content and compressor" \
  test "$(content "$W/media/r1/7.sqfs" sub/a)" = two
check "zstd was used" grep -q '^Compression zstd' <(superblock "$W/media/r1/7.sqfs")

check "a leading zero does not change the sequence number" \
  test "$("$MKMEDIUM" "$W/src" "$W/media" r4 007)" = "$W/media/r4/7.sqfs"
check "an uncompressed medium" "$MKMEDIUM" -c none "$W/src" "$W/media" r2 1
check "its data is stored uncompressed" grep -q 'Data is uncompressed' <(superblock "$W/media/r2/1.sqfs")

tar -C "$W/src" -cf - . | "$MKMEDIUM" - "$W/media" fromtar 3 >/dev/null
check "a tar stream on standard input" test "$(content "$W/media/fromtar/3.sqfs" sub/a)" = two
check "a tar stream's medium has an export table" grep -q 'exportable via NFS' <(superblock "$W/media/fromtar/3.sqfs")
tar -C "$W/src" -cf "$W/backup.tar" .
check "a tar file" "$MKMEDIUM" -c lz4 "$W/backup.tar" "$W/media" fromtar 4

block_size() { superblock "$1" | sed -n 's/^Block size \([0-9]*\)$/\1/p'; }
check "the default block size is 128 KiB" test "$(block_size "$W/media/r1/7.sqfs")" = 131072
for b in 32K:32768 65536:65536 1M:1048576; do
  check "-b ${b%:*} gives ${b#*:}-byte blocks from a directory" "$MKMEDIUM" -f -b "${b%:*}" "$W/src" "$W/media" rb 1
  check "and the medium says so" test "$(block_size "$W/media/rb/1.sqfs")" = "${b#*:}"
  check "and from a tar file (-b ${b%:*})" "$MKMEDIUM" -f -b "${b%:*}" "$W/backup.tar" "$W/media" rbt 1
  check "whose medium says so too" test "$(block_size "$W/media/rbt/1.sqfs")" = "${b#*:}"
done
for b in 4000 2K 2M 0 -1 1x 99999999999999999999; do
  refuses "block size $b" "$MKMEDIUM" -f -b "$b" "$W/src" "$W/media" rb 1
done
refuses "minor id '..'" "$MKMEDIUM" "$W/src" "$W/media" .. 1
refuses "minor id with a slash" "$MKMEDIUM" "$W/src" "$W/media" a/b 1
refuses "an empty minor id" "$MKMEDIUM" "$W/src" "$W/media" '' 1
refuses "sequence number 0" "$MKMEDIUM" "$W/src" "$W/media" r3 0
refuses "a sequence number past 32 bits" "$MKMEDIUM" "$W/src" "$W/media" r3 4294967296
refuses "a sequence number that is not decimal" "$MKMEDIUM" "$W/src" "$W/media" r3 0x10
refuses "an unknown compressor" "$MKMEDIUM" -c lzo "$W/src" "$W/media" r3 1
refuses "a media directory that does not exist" "$MKMEDIUM" "$W/src" "$W/nowhere" r3 1
refuses "a source that does not exist" "$MKMEDIUM" "$W/nosuch" "$W/media" r3 1
printf 'not a tar archive' > "$W/garbage"
refuses "a file that is not a tar archive" "$MKMEDIUM" "$W/garbage" "$W/media" r3 1
refuses "an empty tar stream" "$MKMEDIUM" - "$W/media" r3 1 < /dev/null
check "no medium is made by a refused run" test ! -e "$W/media/r3/1.sqfs"
check "no temporary file is left behind" no_temporaries

[ "$failures" -eq 0 ] || { echo "$failures checks failed"; exit 1; }

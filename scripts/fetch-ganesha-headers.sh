#!/usr/bin/env bash
# Fetches the NFS server's plug-in headers, which Debian does not package, from the
# source package of the installed nfs-ganesha, and caches them.
#
# usage: fetch-ganesha-headers.sh [DEST_DIR]
# Prints nothing when the cache already matches the installed server.
#
# The deb-src list is derived from the machine's own apt sources (release codename
# only) and used through private apt directories: nothing under /etc/apt or
# /var/lib/apt changes.
set -euo pipefail

installed=$(dpkg-query -W -f='${Version}' nfs-ganesha 2>/dev/null) || {
  echo "fetch-ganesha-headers: nfs-ganesha is not installed" >&2; exit 1; }
DEST=${1:-/var/cache/fsalqor/nfs-ganesha-$installed}
UPVER=${installed%-*}

if [ -f "$DEST/DEBIAN_VERSION" ] && [ "$(cat "$DEST/DEBIAN_VERSION")" = "$installed" ] &&
   [ -f "$DEST/src/include/fsal_api.h" ]; then
  exit 0
fi

. /etc/os-release
CODENAME=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/lists/partial" "$WORK/cache/archives/partial" "$WORK/parts" "$WORK/dl"
SRCLIST="$WORK/deb-src.sources"
: > "$SRCLIST"

# deb822 entries whose Suites contain the codename -> one deb-src stanza each
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] || continue
  awk -v code="$CODENAME" '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && has_suite && uris != "") {
        print "Types: deb-src"; print "URIs: " uris; print "Suites: " code
        print "Components: " comps; if (signed != "") print "Signed-By: " signed; print "" }
      types = uris = comps = signed = ""; has_suite = 0 }
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*$/ { flush(); next }
    { key = $1; sub(/:$/, "", key); val = $0; sub(/^[^:]*:[[:space:]]*/, "", val)
      if (key == "Types") types = val; else if (key == "URIs") uris = val
      else if (key == "Components") comps = val; else if (key == "Signed-By") signed = val
      else if (key == "Enabled" && val == "no") types = ""
      else if (key == "Suites") { n = split(val, s, /[[:space:]]+/)
        for (i = 1; i <= n; i++) if (s[i] == code) has_suite = 1 } }
    END { flush() }' "$f" >> "$SRCLIST"
done
# one-line entries "deb [opts] URI codename comps..."
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -e "$f" ] || continue
  awk -v code="$CODENAME" '
    /^[[:space:]]*deb[[:space:]]/ { line = $0; signed = ""
      if (match(line, /\[[^]]*\]/)) { opts = substr(line, RSTART+1, RLENGTH-2)
        line = substr(line, 1, RSTART-1) substr(line, RSTART+RLENGTH)
        n = split(opts, o, /[[:space:]]+/)
        for (i = 1; i <= n; i++) if (o[i] ~ /^signed-by=/) { signed = o[i]; sub(/^signed-by=/, "", signed) } }
      n = split(line, w, /[[:space:]]+/); if (w[3] != code) next
      comps = ""; for (i = 4; i <= n; i++) if (w[i] != "") comps = comps (comps ? " " : "") w[i]
      print "Types: deb-src"; print "URIs: " w[2]; print "Suites: " code
      print "Components: " comps; if (signed != "") print "Signed-By: " signed; print "" }' "$f" >> "$SRCLIST"
done
[ -s "$SRCLIST" ] || { echo "fetch-ganesha-headers: no '$CODENAME' deb entry in the apt sources" >&2; exit 1; }

APT=(apt-get -q -o Dir::Etc::SourceList="$SRCLIST" -o Dir::Etc::SourceParts="$WORK/parts"
     -o Dir::State::Lists="$WORK/lists" -o Dir::Cache="$WORK/cache" -o APT::Sandbox::User=root)
echo "fetch-ganesha-headers: fetching the nfs-ganesha $installed source for its headers"
"${APT[@]}" update >/dev/null
# --tar-only: only the upstream tarball is needed, and apt still checks it against
# the signed Sources index.
( cd "$WORK/dl" && "${APT[@]}" source --download-only --tar-only "nfs-ganesha=$installed" >/dev/null )
TARBALL=$(ls "$WORK"/dl/nfs-ganesha_"$UPVER".orig.tar.*)
tar -xf "$TARBALL" -C "$WORK/dl"
[ -f "$WORK/dl/nfs-ganesha-$UPVER/src/include/fsal_api.h" ] || {
  echo "fetch-ganesha-headers: the tarball has no src/include/fsal_api.h" >&2; exit 1; }

STAGE="$DEST.tmp.$$"
rm -rf "$STAGE"; mkdir -p "$STAGE/src"
cp -a "$WORK/dl/nfs-ganesha-$UPVER/src/include" "$STAGE/src/include"
cp "$WORK/dl/nfs-ganesha-$UPVER/src/CMakeLists.txt" "$STAGE/src/"
sha256sum "$TARBALL" | sed "s#$WORK/dl/##" > "$STAGE/SOURCE.sha256"
echo "$installed" > "$STAGE/DEBIAN_VERSION"
rm -rf "$DEST"; mkdir -p "$(dirname "$DEST")"; mv "$STAGE" "$DEST"
echo "fetch-ganesha-headers: headers in $DEST"

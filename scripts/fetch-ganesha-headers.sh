#!/usr/bin/env bash
# Fetches the NFS server's plug-in headers, which Debian does not package, from the
# source package of the installed nfs-ganesha, and caches them.
#
# usage: fetch-ganesha-headers.sh [DEST_DIR]
# Prints nothing when the cache already matches the installed server.
#
# The deb-src entries are derived from the machine's own apt sources (release
# codename only) and used through private apt directories (scripts/lib/apt-private.sh).
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
mkdir -p "$WORK/dl"
. "$(dirname "$0")/lib/apt-private.sh"
apt_private_init "$WORK/apt" ""
apt_private_sources "$WORK/apt/parts/deb-src.sources" deb-src "" "$CODENAME" || {
  echo "fetch-ganesha-headers: no '$CODENAME' deb entry in the apt sources" >&2; exit 1; }
APT=(apt-get -q "${APT_PRIVATE[@]}")
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

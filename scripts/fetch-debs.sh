#!/usr/bin/env bash
# Downloads Debian packages of an architecture and unpacks each with dpkg -x into a
# cache, for the emulated machines of the tests (kernels, modules, busybox).
#
# usage: fetch-debs.sh ARCH PKG...
# Prints one line per package: "NAME DIR", DIR holding the unpacked package.
# A PKG written "depends:META" stands for the first package that META depends on
# (linux-image-amd64 names the current kernel package).
#
# Packages of the host's architecture come through apt's normal configuration; any
# other architecture through private apt directories whose sources are derived from
# the machine's own (scripts/lib/apt-private.sh).
# Nothing is installed. Unpacked packages are kept in QOR_CROSS_CACHE/ARCH/debs
# (default /var/cache/qor-cross), so a second run only checks the package indexes.
set -euo pipefail

die() { echo "fetch-debs: $*" >&2; exit 1; }
[ $# -ge 2 ] || die "usage: fetch-debs.sh ARCH PKG..."
ARCH=$1
shift
case $ARCH in *[!a-z0-9]*) die "bad architecture '$ARCH'" ;; esac

CACHE=${QOR_CROSS_CACHE:-/var/cache/qor-cross}/$ARCH
mkdir -p "$CACHE/debs"
exec 9>"$CACHE/.fetch-debs.lock"
flock 9

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

HOST_ARCH=$(dpkg --print-architecture)
APT=(apt-get -q -o APT::Sandbox::User=root)
APTCACHE=(apt-cache)

if [ "$ARCH" != "$HOST_ARCH" ]; then
	. "$(dirname "$0")/lib/apt-private.sh"
	state=$CACHE/apt
	apt_private_init "$state" "$ARCH"
	: >"$state/status"
	rm -f "$state/parts/private.list"
	apt_private_sources "$state/parts/private.sources" deb "$ARCH" "" ||
		die "no deb entry in the machine's apt sources"
	APT+=("${APT_PRIVATE[@]}")
	APTCACHE+=("${APT_PRIVATE[@]}")
	# The indexes are refreshed once a day; a machine without the archive keeps
	# using the ones it has.
	if [ -z "$(find "$state/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 -print -quit)" ]; then
		"${APT[@]}" update >/dev/null ||
			[ -n "$(find "$state/lists" -maxdepth 1 -name '*Packages*' -print -quit)" ] ||
			die "apt-get update for $ARCH failed"
	fi
fi

for want in "$@"; do
	pkg=$want
	if [ "${want#depends:}" != "$want" ]; then
		pkg=$("${APTCACHE[@]}" depends "${want#depends:}" | awk '$1 == "Depends:" { print $2; exit }')
		[ -n "$pkg" ] || die "${want#depends:} depends on nothing"
	fi
	case $pkg in *[!a-z0-9.+-]*) die "bad package name '$pkg'" ;; esac
	ver=$("${APTCACHE[@]}" show --no-all-versions "$pkg" 2>/dev/null | awk '/^Version:/ { print $2; exit }')
	[ -n "$ver" ] || die "no package $pkg for $ARCH"
	dir=$CACHE/debs/${pkg}_${ver//:/%}
	if [ ! -f "$dir/.unpacked" ]; then
		rm -rf "$dir" "$WORK/dl"
		mkdir -p "$WORK/dl"
		if ! (cd "$WORK/dl" && "${APT[@]}" download "$pkg=$ver" >/dev/null); then
			# stale indexes name a version the archive no longer has: refresh and resolve again
			[ -z "${FETCH_DEBS_REFRESHED:-}" ] || die "could not download $pkg $ver"
			"${APT[@]}" update >/dev/null || die "apt-get update for $ARCH failed"
			rm -rf "$WORK"
			FETCH_DEBS_REFRESHED=1 exec "$0" "$ARCH" "$@"
		fi
		deb=$(find "$WORK/dl" -name '*.deb' -print -quit)
		[ -n "$deb" ] || die "no .deb for $pkg"
		mkdir -p "$dir.tmp"
		dpkg -x "$deb" "$dir.tmp"
		touch "$dir.tmp/.unpacked"
		mv "$dir.tmp" "$dir"
	fi
	echo "$pkg $dir"
done

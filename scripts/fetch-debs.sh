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
# the machine's own: nothing under /etc/apt, /var/lib/apt or dpkg's database changes.
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

# Private sources: every deb entry of the machine's own sources, restricted to ARCH.
private_sources() {
	local parts=$1 f
	for f in /etc/apt/sources.list.d/*.sources; do
		[ -e "$f" ] || continue
		awk -v arch="$ARCH" '
			function flush() { if (n && types ~ /(^| )deb( |$)/ && enabled) {
					for (i = 1; i <= n; i++) print buf[i]; print "Architectures: " arch; print "" }
				n = 0; types = ""; enabled = 1 }
			BEGIN { enabled = 1 }
			/^[[:space:]]*#/ { next }
			/^[[:space:]]*$/ { flush(); next }
			/^Architectures:/ { next }
			/^Types:/ { types = $0; sub(/^Types:[[:space:]]*/, "", types); buf[++n] = "Types: deb"; next }
			/^Enabled:[[:space:]]*no/ { enabled = 0 }
			{ buf[++n] = $0 }
			END { flush() }' "$f"
	done >"$parts/private.sources"
	for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
		[ -e "$f" ] || continue
		awk -v arch="$ARCH" '
			/^[[:space:]]*deb[[:space:]]/ {
				line = $0; sub(/^[[:space:]]*deb[[:space:]]+/, "", line); opts = ""
				if (line ~ /^\[/) { opts = substr(line, 2, index(line, "]") - 2); line = substr(line, index(line, "]") + 1)
					gsub(/(^|[[:space:]])arch=[^[:space:]]*/, "", opts) }
				print "deb [arch=" arch " " opts "] " line }' "$f"
	done >"$parts/private.list"
	[ -s "$parts/private.sources" ] || [ -s "$parts/private.list" ] ||
		die "no deb entry in the machine's apt sources"
}

if [ "$ARCH" != "$HOST_ARCH" ]; then
	state=$CACHE/apt
	mkdir -p "$state/parts" "$state/lists/partial" "$state/cache/archives/partial"
	: >"$state/status"
	private_sources "$state/parts"
	opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$state/parts"
		-o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
		-o Dir::Cache="$state/cache" -o APT::Architecture="$ARCH" -o APT::Architectures="$ARCH"
		-o Debug::NoLocking=1 -o APT::Sandbox::User=root)
	APT+=("${opts[@]}")
	APTCACHE+=("${opts[@]}")
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

#!/usr/bin/env bash
# Makes the mips64el sysroot that the cross build links against and that
# qemu-user runs the target programs in: Debian's mips64el packages, unpacked.
#
# usage: mips64el-sysroot.sh [SYSROOT]     (default /var/cache/qor-cross/mips64el/sysroot)
# Prints the sysroot's path. A sysroot made from the same package list is reused.
#
# The mips64el package lists come from the machine's own apt sources through
# private apt directories (scripts/lib/apt-private.sh): no foreign architecture is
# added to the host.
set -euo pipefail

SYSROOT=${1:-/var/cache/qor-cross/mips64el/sysroot}
ARCH=mips64el

# What the build links against, the server the plug-in tests run in, and a
# static busybox for a target initramfs.
packages=(
  libc6 libc6-dev libgcc-s1 libstdc++6 libstdc++-12-dev
  libace-dev nlohmann-json3-dev libsquashfs-dev libgtest-dev libgmock-dev
  nfs-ganesha libntirpc-dev liburcu-dev libkrb5-dev libnfs-dev
  busybox-static
)
# The server depends on these daemons; nothing here needs their files.
assumed_installed=(dbus nfs-common rpcbind)

say() { echo "mips64el-sysroot: $*" >&2; }

# The sysroot is replaced wholesale: only an absolute path below a directory,
# with no symbolic link on the way that could point the removal elsewhere.
case $SYSROOT in
  /*/*) ;;
  *) say "the sysroot must be an absolute path below a directory: $SYSROOT"; exit 1 ;;
esac
p=""
IFS=/ read -r -a parts <<<"${SYSROOT#/}"
for c in "${parts[@]}"; do
  case $c in ""|.|..) say "the sysroot path must be plain: $SYSROOT"; exit 1 ;; esac
  p="$p/$c"
  [ ! -L "$p" ] || { say "$p is a symbolic link; refusing"; exit 1; }
done

stamp="$SYSROOT/.qor-sysroot"
want="format 2 | packages: ${packages[*]} | assumed: ${assumed_installed[*]}"
current() { [ -f "$stamp" ] && [ "$(head -n1 "$stamp")" = "$want" ]; }
if current; then echo "$SYSROOT"; exit 0; fi

# One maker at a time; whoever waited may find the sysroot made meanwhile.
mkdir -p "$(dirname "$SYSROOT")"
exec 9>>"$SYSROOT.lock"
flock 9
if current; then echo "$SYSROOT"; exit 0; fi

WORK=$(mktemp -d)
STAGE=""
cleanup() { rm -rf "$WORK"; [ -z "$STAGE" ] || rm -rf "$STAGE"; }
trap cleanup EXIT
mkdir -p "$WORK/dl"
. "$(dirname "$0")/lib/apt-private.sh"
apt_private_init "$WORK/apt" "$ARCH"
apt_private_sources "$WORK/apt/parts/private.sources" deb "$ARCH" "" || {
  say "no deb entry in the machine's apt sources"; exit 1; }

# The daemons the server depends on are marked installed in the private status file.
for p in "${assumed_installed[@]}"; do
  printf 'Package: %s\nStatus: install ok installed\nArchitecture: %s\nVersion: 99:0\nDescription: assumed\n\n' \
    "$p" "$ARCH" >> "$WORK/apt/status"
done

APT=(apt-get -q "${APT_PRIVATE[@]}" -o APT::Install-Recommends=false -o APT::Get::Assume-Yes=true)

say "reading the $ARCH package lists"
"${APT[@]}" update >/dev/null
# "Inst NAME (VERSION SUITE [ARCH])" lines name the closure.
"${APT[@]}" -s install "${packages[@]}" > "$WORK/plan"
awk '/^Inst / { v = ($3 ~ /^\[/) ? $4 : $3; sub(/^\(/, "", v); print $2 "=" v }' "$WORK/plan" > "$WORK/closure"
[ -s "$WORK/closure" ] || { say "apt resolved no packages"; cat "$WORK/plan" >&2; exit 1; }
say "downloading $(wc -l < "$WORK/closure") packages"
( cd "$WORK/dl" && xargs -a "$WORK/closure" "${APT[@]}" download >/dev/null )

STAGE="$SYSROOT.tmp.$$"
rm -rf "$STAGE"; mkdir -p "$STAGE"
# What dpkg would know of the installed packages, for working out the
# dependencies of our own packages: .qor-dpkg/files ("PACKAGE VERSION PATH") and
# each package's shlibs control file.
mkdir -p "$STAGE/.qor-dpkg"
for deb in "$WORK"/dl/*.deb; do
  dpkg-deb -x "$deb" "$STAGE"
  pkg=$(dpkg-deb -f "$deb" Package)
  ver=$(dpkg-deb -f "$deb" Version)
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n "s|^\./\(.*[^/]\)\$|$pkg $ver /\1|p" >> "$STAGE/.qor-dpkg/files"
  dpkg-deb -I "$deb" shlibs > "$STAGE/.qor-dpkg/$pkg.shlibs" 2>/dev/null || rm -f "$STAGE/.qor-dpkg/$pkg.shlibs"
done

# Absolute links would point into the host (qemu then finds no /lib64/ld.so.1):
# make each one relative to its own directory inside the sysroot.
find "$STAGE" -type l -lname '/*' -print0 |
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    dir=$(dirname "$link")
    rel=$(realpath -m -s --relative-to="$dir" "$STAGE$target")
    ln -sfn "$rel" "$link"
  done

{ echo "$want"; sort "$WORK/closure"; } > "$STAGE/.qor-sysroot"
rm -rf "$SYSROOT"
mv -T "$STAGE" "$SYSROOT"; STAGE=""
say "sysroot in $SYSROOT ($(du -sh "$SYSROOT" | cut -f1))"
echo "$SYSROOT"

#!/usr/bin/env bash
# Prints the Depends: field for ELF objects of a Debian package: for every
# library they need, the dependency that the library's package declares in its
# shlibs file.
#
# usage: deb-depends.sh TRIPLET ROOT [--same-upstream PACKAGE]... ELF...
#   TRIPLET  the objects' multiarch triplet (e.g. x86_64-linux-gnu)
#   ROOT     / for the build machine's own packages (dpkg's database), or a
#            sysroot made by scripts/mips64el-sysroot.sh (its .qor-dpkg records)
#   --same-upstream PACKAGE  depend on the upstream version of PACKAGE found, in
#            the Debian revision found or a later one (a stable update), not on
#            what its shlibs file allows (for a library whose internal interface
#            we use): "PACKAGE (>= 4.3-2), PACKAGE (<< 4.3+~)". "4.3+~" sorts
#            after every revision of 4.3 and before 4.3.1, 4.3+dfsg and 4.4.
set -euo pipefail

die() { echo "deb-depends: $*" >&2; exit 1; }
[ $# -ge 3 ] || die "usage: deb-depends.sh TRIPLET ROOT [--same-upstream PACKAGE]... ELF..."
triplet=$1 root=${2%/}
shift 2
same_upstream=()
while [ "${1:-}" = --same-upstream ]; do same_upstream+=("$2"); shift 2; done
[ $# -gt 0 ] || die "no ELF objects given"

# PACKAGE VERSION of the file at PATH (as the target sees it)
owner() {
  local path=$1
  if [ -z "$root" ]; then
    local p alt pkg
    # with merged /usr, dpkg may know the file under /lib or under /usr/lib
    for p in "$path" "/usr$path" "${path#/usr}"; do
      pkg=$(dpkg-query -S "$p" 2>/dev/null | head -n1 | cut -d: -f1) || true
      [ -n "$pkg" ] || continue
      alt=$(dpkg-query -W -f='${Version}' "$pkg" 2>/dev/null || dpkg-query -W -f='${Version}' "$pkg:$(dpkg --print-architecture)")
      echo "$pkg $alt"; return 0
    done
    return 1
  fi
  awk -v p="$path" '$3 == p { print $1, $2; found = 1; exit } END { exit !found }' "$root/.qor-dpkg/files"
}

shlibs_file() {
  local pkg=$1
  if [ -z "$root" ]; then
    local f
    for f in "/var/lib/dpkg/info/$pkg.shlibs" "/var/lib/dpkg/info/$pkg:$(dpkg --print-architecture).shlibs"; do
      [ -f "$f" ] && { echo "$f"; return 0; }
    done
    return 1
  fi
  [ -f "$root/.qor-dpkg/$pkg.shlibs" ] && echo "$root/.qor-dpkg/$pkg.shlibs"
}

# Where the target's loader finds a library: its default directories and the
# objects' RUNPATH.
find_library() {
  local soname=$1 d
  shift
  for d in "/lib/$triplet" "/usr/lib/$triplet" /lib /usr/lib "$@"; do
    [ -e "$root$d/$soname" ] && { echo "$d/$soname"; return 0; }
  done
  return 1
}

needed=()
runpath=()
for elf in "$@"; do
  [ -f "$elf" ] || die "no file $elf"
  while read -r lib; do needed+=("$lib"); done < <(LC_ALL=C readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  while read -r dirs; do
    IFS=: read -r -a more <<<"$dirs"; runpath+=("${more[@]}")
  done < <(LC_ALL=C readelf -d "$elf" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
done

deps=()
for soname in $(printf '%s\n' "${needed[@]}" | sort -u); do
  path=$(find_library "$soname" "${runpath[@]}") || die "$soname is not in $root/{lib,usr/lib}/$triplet or the RUNPATH"
  read -r pkg ver <<<"$(owner "$path")" || die "no package owns $path"
  [ -n "$pkg" ] || die "no package owns $path"
  if printf '%s\n' "${same_upstream[@]}" | grep -qxF "$pkg"; then
    deps+=("$pkg (>= $ver)" "$pkg (<< ${ver%-*}+~)"); continue
  fi
  # libfoo.so.N -> "libfoo N"; libfoo-N.so -> "libfoo N"
  case $soname in
    *.so.*) name=${soname%%.so.*} sover=${soname#*.so.} ;;
    *-*.so) base=${soname%.so}; name=${base%-*} sover=${base##*-} ;;
    *) die "cannot read a version from $soname" ;;
  esac
  file=$(shlibs_file "$pkg") || die "package $pkg has no shlibs file"
  dep=$(awk -v n="$name" -v v="$sover" '$1 == n && $2 == v { $1 = $2 = ""; sub(/^ +/, ""); print; exit }' "$file")
  [ -n "$dep" ] || die "$file has no entry for $name $sover"
  # an entry without a version: at least the upstream version built against
  case $dep in *"("*) ;; *) up=${ver%-*}; dep="$dep (>= ${up#*:})" ;; esac
  deps+=("$dep")
done
printf '%s\n' "${deps[@]}" | awk '!seen[$0]++' | paste -sd, | sed 's/,/, /g'

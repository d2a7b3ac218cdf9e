#!/usr/bin/env bash
# The amd64 packages, made from this build, installed with dpkg into an overlay
# of this machine's root whose changes live in a tmpfs; then the product runs
# end to end from the installed files. The host's dpkg database never changes.
# Run through tests/e2e/sandbox.sh (private PID, mount and network namespaces:
# the overlay, the chroot's mounts and every process end with the test).
# usage: installed.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?usage: installed.sh BUILD_DIR}
. "$here/lib.sh"

packages_make "$build"
mkdir "$S/upper" "$S/work" "$S/root"
debs=("$S"/debs/*.deb)
check_eq "cpack made two packages" 2 "${#debs[@]}"

mount -t overlay qor-packages-root -o "lowerdir=/,upperdir=$S/upper,workdir=$S/work" "$S/root"
R=$S/root
mount --rbind /dev "$R/dev"
mount -t proc proc "$R/proc"
mount -t sysfs sysfs "$R/sys"
mount -t tmpfs tmpfs "$R/run"
mount -t tmpfs tmpfs "$R/tmp"
# the tests, wherever they lie (perhaps below /tmp), at the same path inside
tests=$(cd "$here/.." && pwd)
mkdir -p "$R$tests"
mount --bind "$tests" "$R$tests"
cp "${debs[@]}" "$R/tmp/"
in_root() { chroot "$R" "$@"; }

check "dpkg installs both packages (their dependencies are met)" \
	in_root dpkg -i "${debs[@]/#$S\/debs//tmp}"
check_eq "both are installed" "install ok installed
install ok installed" "$(in_root dpkg-query -W -f='${Status}\n' trelk nfs-ganesha-qor)"
plugin_dir=/usr/lib/x86_64-linux-gnu/ganesha
check "the plug-in is in the server's plug-in directory" in_root test -f "$plugin_dir/libfsalqor.so"
check_eq "the example names that directory" "1" \
	"$(grep -c "Plugins_Dir = \"$plugin_dir\"" "$R/usr/share/trelk/examples/ganesha.conf")"
check_eq "the host's dpkg database does not know them" "" \
	"$(dpkg-query -W -f='${Package}\n' trelk nfs-ganesha-qor 2>/dev/null)"
check "the host has no installed trelk" test ! -e /usr/bin/trelk

# The product end to end from the installed files only.
check "the appliance runs from the installed files" \
	in_root env TRELK=/usr/bin/trelk FSAL_DIR="$plugin_dir" MKMEDIUM=/usr/bin/qor-mkmedium \
	EXAMPLES=/usr/share/trelk/examples bash "$here/../e2e/product.sh"
done_testing

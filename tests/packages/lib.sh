# shellcheck shell=bash
# Sourced by the package tests, which run through tests/e2e/sandbox.sh: the checks of
# tests/lib/nfs-harness.sh, and the build's packages made into S=/run/qor-packages,
# in this mount namespace's own /run (a tmpfs that ends with the test).
. "$(dirname "${BASH_SOURCE[0]}")/../lib/nfs-harness.sh"	# check, check_eq, done_testing

# packages_make BUILD_DIR: cpack's packages of the build into $S/debs
packages_make() {
	mount -t tmpfs -o mode=0755 qor-packages /run
	S=/run/qor-packages
	NFSH_WORK=$S	# where the checks keep their record of client failures
	mkdir -p "$S/debs"
	(cd "$1" && cpack -G DEB -B "$S/debs" >/dev/null)
}

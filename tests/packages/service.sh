#!/usr/bin/env bash
# usage: service.sh BUILD_DIR (through sandbox.sh): the amd64 packages pass lintian; in systemd-nspawn
# on an overlay of this root dpkg installs them and qor-appliance.service is driven through start,
# reload, stop, broken configurations and a reboot with the unit enabled.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../lib/nfs-harness.sh"	# check, check_eq, wait_for, done_testing
. "$here/../e2e/appliance.sh"	# make_sample_tree, verify_export, nfs_url

mount -t tmpfs -o mode=0755 qor-service /run
S=/run/qor-service R=/run/qor-service/root
NFSH_WORK=$S
mkdir -p "$S/debs" "$S/upper" "$S/work" "$R"
(cd "${1:?usage: service.sh BUILD_DIR}" && cpack -G DEB -B "$S/debs" >/dev/null)
check "lintian: no error or warning on either package" \
	lintian --fail-on error,warning "$S"/debs/*.deb
below=$(dpkg-deb -f "$S"/debs/nfs-ganesha-qor_*.deb Depends | sed -n 's/.*nfs-ganesha (<< \([^)]*\)).*/\1/p')
built=$(dpkg-query -W -f '${Version}' nfs-ganesha)
check "the plug-in accepts a stable update of its server ($built), not the next upstream version" eval \
	'dpkg --compare-versions "$built+deb12u1" lt "$below" && dpkg --compare-versions "${built%-*}.1-1" ge "$below"'
mount -t overlay qor-service-root -o "lowerdir=/,upperdir=$S/upper,workdir=$S/work" "$R"
rm -f "$R/etc/machine-id"
# nothing comes online in a private network: booting would wait for it
ln -s /dev/null "$R/etc/systemd/system/systemd-networkd-wait-online.service"
cp "$S"/debs/*.deb "$R/var/tmp/"

boot() {
	systemd-nspawn -D "$R" --keep-unit --register=no --private-network -q -b --console=pipe \
		</dev/null >>"$S/boot.log" 2>&1 &
	NSPAWN=$!
	# -x: until it execs systemd, nspawn's own child is "systemd-nspawn", and gone soon after
	wait_for 30 pgrep -x -P "$NSPAWN" systemd || { cat "$S/boot.log" >&2; exit 1; }
	SYSD=$(pgrep -x -P "$NSPAWN" systemd)
	wait_for 60 booted || { cat "$S/boot.log" >&2; exit 1; }
}
booted() { [[ $(in_c systemctl is-system-running --wait) =~ ^(running|degraded)$ ]]; }
halt() { kill -TERM "$NSPAWN"; wait "$NSPAWN" || true; NSPAWN=; }
# the sandbox's namespaces take the rest with them
trap '[ -z "${NSPAWN:-}" ] || halt' EXIT
in_c() { nsenter -t "$SYSD" -a "$@"; }
in_net() { nsenter -t "$SYSD" -n "$@"; }
unit() { in_c systemctl "$1" qor-appliance; }
is_active() { [ "$(unit is-active)" = active ]; }
serves() { in_net nfs-ls "$(nfs_url "$1")" >/dev/null; }
serve_all() {	# EXPORT...: every file reads back equal to its source
	local e
	for e; do in_net bash -c '. "$1"; verify_export "$2" "$3" "$4"' _ "$here/../e2e/appliance.sh" \
		"$e" "$R/srv/src/$e" "$S/copy" || return; done
}
nothing_left() {
	! in_c pgrep -x ganesha.nfsd && ! in_c pgrep -x rpcbind && ! in_c pgrep -x trelk &&
		! in_c ip -o link show type veth | grep -q . && ! grep -qF /srv/qor/root "/proc/$SYSD/mounts" &&
		in_c test ! -e /run/qor/trelk.pid
}
# grep reads to the end: with -q it would leave early and journalctl, cut off by SIGPIPE, fail the pipe
journal_names() { in_c journalctl -q -u qor-appliance --since "@$1" | grep -F -- "$2" >/dev/null; }
fails_with() {	# CASE TEXT: the unit fails to start and its journal names TEXT
	local t
	t=$(in_c date +%s)
	check "$1: start fails" eval '! unit start 2>/dev/null'
	check_eq "$1: the unit is failed" failed "$(unit is-active)"
	check "$1: the journal names $2" journal_names "$t" "$2"
	in_c systemctl reset-failed qor-appliance
}

boot
# the README's deployment, in order
check "dpkg installs both packages" in_c sh -c 'dpkg -i /var/tmp/*.deb >/dev/null'
check_eq "installed, neither enabled nor started" "disabled inactive" "$(unit is-enabled) $(unit is-active)"
# the host's rpcbind too, so that an rpcbind left running would be the container's
in_c systemctl disable --now -q nfs-ganesha.service rpcbind.service rpcbind.socket
in_c cp /usr/share/doc/trelk/examples/br-qor.netdev /usr/share/doc/trelk/examples/br-qor.network /etc/systemd/network/
in_c systemctl enable --now -q systemd-networkd
in_c networkctl reload
in_c mkdir -p /srv/qor/media
for e in backup-a backup-b backup-c; do
	make_sample_tree "$R/srv/src/$e" "$e"
	in_c qor-mkmedium -c zstd "/srv/src/$e" /srv/qor/media "$e" 1 >/dev/null
done

check "start: the unit starts" unit start
check "start: the unit is active" is_active
check "start: both exports serve" wait_for 20 serves backup-b
check "start: every file of both exports reads back equal" serve_all backup-a backup-b
check "the server's log reaches the journal" wait_for 5 journal_names 0 "nfs-ganesha-"

awk '/^EXPORT/ { n++ } n == 2 { b = b $0 "\n" } /^}/ && n == 2 { n++ } END { printf "%s", b }' \
	"$R/etc/qor/ganesha.conf" | sed 's/backup-b/backup-c/g; s/Export_Id = 2/Export_Id = 3/' >>"$R/etc/qor/ganesha.conf"
check "reload: the unit reloads" unit reload
check "reload: the new export serves" wait_for 20 serves backup-c
check "reload: every file of the new export reads back equal" serve_all backup-c

check "stop: the unit stops" unit stop
check_eq "stop: the unit is inactive, not failed" inactive "$(unit is-active)"
check "stop: no process, veth device, mount or pid file is left" nothing_left

cp "$R/etc/qor/trelk.json" "$S/trelk.json"
echo '{ "target": ' >"$R/etc/qor/trelk.json"
fails_with "bad JSON" /etc/qor/trelk.json
cp "$S/trelk.json" "$R/etc/qor/trelk.json"
mv "$R/srv/qor/media/backup-c/1.sqfs" "$S/"
fails_with "a missing medium" /srv/qor/media/backup-c/1.sqfs
mv "$S/1.sqfs" "$R/srv/qor/media/backup-c/"
in_c ip link del br-qor
fails_with "no bridge" br-qor

check "enable: the unit is enabled" unit enable
halt
boot
check "reboot: the enabled unit is active" wait_for 20 is_active
check "reboot: every file of an export reads back equal" eval 'wait_for 20 serves backup-a && serve_all backup-a'
halt
done_testing

# The product end to end: trelk runs the NFS server with the QOR plug-in in its own
# container on a bridge, and clients outside the container read backup media.
# Run through sandbox.sh.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/appliance.sh"

appliance_workdir qor-e2e

appliance_network
appliance_prepare "$W"
# A third export names a medium that does not exist: the server must start without it.
cat >> "$W/conf/ganesha.conf" <<'CONF'
EXPORT {
	Export_Id = 3;
	Path = "/missing";
	Pseudo = "/missing";
	Protocols = 3;
	Access_Type = RO;
	Squash = No_Root_Squash;
	FSAL { Name = QOR; dir = "/srv/qor/media"; minor_resource_id = "no-such-backup"; seq = 1; }
}
CONF

appliance_start
appliance_wait_ready backup-a
say "ok - the server in the container answers at $APPLIANCE_SERVER_ADDR"

# The container's device: the configured name and address, a default route
# through the bridge's address; on the host side one veth port on the bridge.
spid=$(server_pid)
[ -n "$spid" ] || fail "no server process"
nsenter -t "$spid" -n ip -o -4 addr show dev eth0 | grep -q "inet $APPLIANCE_SERVER_ADDR/24" ||
  fail "eth0 in the container lacks $APPLIANCE_SERVER_ADDR/24"
nsenter -t "$spid" -n ip route show default | grep -q "via $APPLIANCE_HOST_ADDR dev eth0" ||
  fail "no default route through $APPLIANCE_HOST_ADDR in the container"
[ "$(ip -o link show master "$APPLIANCE_BRIDGE" | wc -l)" -eq 1 ] || fail "expected one port on the bridge"
# Outside the container nothing listens: only the container's address serves.
if nfs-ls "nfs://127.0.0.1/backup-a?version=3" >/dev/null 2>&1; then
  fail "an NFS server answers outside the container"
fi
say "ok - the client reaches the server only through the container's address"

# The pid file names the container's first process.
pid=$(cat "$W/run/trelk.pid")
[ "$(awk '/^NSpid:/ {print $NF}' "/proc/$pid/status")" = 1 ] || fail "pid file does not name the container's first process"
say "ok - the pid file names the container's first process ($pid)"

verify_export backup-a "$W/src/backup-a" "$W/check-a"
verify_export backup-b "$W/src/backup-b" "$W/check-b"
say "ok - both exports list and read bit for bit like their source trees"

if nfs-ls "$(nfs_url missing)" >/dev/null 2>&1; then fail "an export of a missing medium serves"; fi
grep -q "Could not open QOR media dir=/srv/qor/media, minor_resource_id=no-such-backup" "$W/log/ganesha.log" ||
  fail "no log line for the missing medium"
say "ok - an export of a missing medium is left out, the others serve"

# SIGHUP reaches the server, which keeps serving.
kill -HUP "$TRELK_PID"
sleep 1
kill -0 "$TRELK_PID" || fail "the launcher ended on SIGHUP"
appliance_wait_ready backup-b
say "ok - SIGHUP is forwarded and the server keeps serving"

# A second launcher with the same pid file ends the first container before it starts.
first=$TRELK_PID
appliance_start
TRELK2_PID=$TRELK_PID
TRELK_PID=$first
set +e; wait "$first"; rc=$?; set -e
TRELK_PID=
[ "$rc" -eq 1 ] || fail "the first launcher exited $rc, not 1, when its container was ended"
TRELK_PID=$TRELK2_PID; TRELK2_PID=
appliance_wait_ready backup-a
[ "$(pgrep -cx ganesha.nfsd)" -eq 1 ] || fail "more than one server runs"
say "ok - a second start ends the first container: one server runs"

# SIGTERM ends the container and leaves nothing behind.
kill -TERM "$TRELK_PID"
set +e; wait "$TRELK_PID"; rc=$?; set -e
TRELK_PID=
[ "$rc" -eq 1 ] || fail "the launcher exited $rc on SIGTERM, not 1"
sleep 0.5
pgrep -x ganesha.nfsd >/dev/null && fail "a server process is left"
pgrep -x rpcbind >/dev/null && fail "an rpcbind process is left"
[ -e "$W/run/trelk.pid" ] && fail "the pid file is left"
[ -z "$(ip -o link show type veth)" ] || fail "a veth device is left"
grep -q " $W" /proc/self/mountinfo && fail "a mount is left under $W"
say "ok - SIGTERM leaves no process, device, mount or pid file"

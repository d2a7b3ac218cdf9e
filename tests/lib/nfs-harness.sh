# shellcheck shell=bash
# Runs rpcbind and the NFS server (NFSv3 only) inside private PID, network and
# mount namespaces, so that a test can neither reach nor disturb anything on the
# host, and everything it started dies with it.
#
# Usage, at the top of a test script:
#   . "$(dirname "$0")/../lib/nfs-harness.sh"
#   nfsh_enter "$@"          # re-executes the script in the namespaces
#   ... nfsh_conf_* / nfsh_start / nfsh_stop ...
#
# Inside, the script is pid 1 of its PID namespace: when it exits, on success or
# failure, the kernel kills whatever is left (server, rpcbind, clients). Mounts
# made inside, the work directory among them, vanish with the mount namespace.
#
# Variables a test may set before nfsh_enter:
#   NFSH_TMPFS_SIZE   size of the namespace's /run, which holds the work directory
#                     (default 2g)
# and before nfsh_start:
#   NFSH_SERVER       the server command, as an array (default: ganesha.nfsd), e.g.
#                     another architecture's server under qemu-user
#   NFSH_START_SECONDS  how long the server may take to come up (default 30)
# Variables available after nfsh_enter:
#   NFSH_WORK         work directory (/run/nfsh, in a tmpfs private to the test)
#   NFSH_CONF, NFSH_LOG, NFSH_PIDFILE
#   NFSH_URL          nfs://127.0.0.1 (NFSv3 through rpcbind on loopback)

NFSH_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NFSH_GANESHA_PLUGINS=${NFSH_GANESHA_PLUGINS:-/usr/lib/x86_64-linux-gnu/ganesha}
NFSH_URL=nfs://127.0.0.1

nfsh_die() { echo "nfs-harness: $*" >&2; exit 1; }

nfsh_enter() {
	if [ "${NFSH_INSIDE:-}" != 1 ]; then
		[ "$(id -u)" = 0 ] || nfsh_die "must run as root"
		export NFSH_INSIDE=1
		local rc=0
		# killing the namespace's first process takes everything inside with it
		trap 'kill -KILL "$NFSH_NS_PID" 2>/dev/null' TERM INT HUP
		unshare --pid --fork --mount-proc --net --mount --propagation private \
			bash "$0" "$@" &
		NFSH_NS_PID=$!
		wait "$NFSH_NS_PID" || rc=$?
		wait "$NFSH_NS_PID" 2>/dev/null
		exit "$rc"
	fi
	set -o pipefail
	# Everything the test makes lives in this namespace's own /run, a tmpfs that
	# vanishes with the namespace: nothing of it ever reaches the host.
	mount -t tmpfs -o "size=${NFSH_TMPFS_SIZE:-2g},mode=0755" nfsh-run /run
	mkdir -p /run/ganesha /run/rpcbind /run/nfsh
	NFSH_WORK=/run/nfsh
	# the server keeps NFSv4 recovery state here even when only v3 is enabled
	[ -d /var/lib/nfs ] && mount -t tmpfs -o mode=0755 nfsh-varlib /var/lib/nfs
	ip link set lo up
	NFSH_CONF=$NFSH_WORK/ganesha.conf
	NFSH_LOG=$NFSH_WORK/ganesha.log
	NFSH_PIDFILE=$NFSH_WORK/ganesha.pid
	NFSH_PLUGINS=$NFSH_WORK/plugins
	mkdir -p "$NFSH_PLUGINS" "$NFSH_WORK/recov"
	ln -s "$NFSH_GANESHA_PLUGINS"/libfsal*.so "$NFSH_PLUGINS"/
	trap nfsh_cleanup EXIT
	rpcbind -w -f &
	NFSH_RPCBIND_PID=$!
	local i
	for i in $(seq 100); do
		rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && return 0
		sleep 0.05
	done
	nfsh_die "rpcbind did not start"
}

nfsh_cleanup() {
	local rc=$?
	nfsh_stop >/dev/null 2>&1 || true
	[ -n "${NFSH_RPCBIND_PID:-}" ] && kill "$NFSH_RPCBIND_PID" 2>/dev/null
	if [ "$rc" != 0 ] && [ -f "$NFSH_LOG" ] && [ -z "${NFSH_QUIET_LOG:-}" ]; then
		echo "---- last lines of the server log ----" >&2
		tail -n 40 "$NFSH_LOG" >&2
	fi
	return "$rc"
}

# nfsh_enter for the tests of our plug-in: needs NFSQ and FSALQOR, makes the
# plug-in loadable and names the test's tree (T) and media directory (M).
nfsh_enter_qor() {
	nfsh_enter "$@"
	: "${NFSQ:?set NFSQ to the nfsq client}" "${FSALQOR:?set FSALQOR to libfsalqor.so}"
	nfsh_use_qor "$FSALQOR"
	T=$NFSH_WORK/tree
	M=$NFSH_WORK/media
}

# Makes our plug-in (a built libfsalqor.so) loadable as FSAL "QOR".
nfsh_use_qor() {
	local so=${1:?path of libfsalqor.so}
	[ -f "$so" ] || nfsh_die "no plug-in at $so"
	ln -sf "$(readlink -f "$so")" "$NFSH_PLUGINS/libfsalqor.so"
}

# Writes the server's configuration: the fixed core part followed by whatever
# blocks the test gives on standard input (exports, QOR, MDCACHE ...).
nfsh_conf() {
	{
		cat <<EOF
NFS_CORE_PARAM {
	Protocols = 3;
	Enable_NLM = false;
	Enable_RQUOTA = false;
	Plugins_Dir = "$NFSH_PLUGINS";
}
NFSV4 {
	Graceless = true;
	RecoveryRoot = "$NFSH_WORK/recov";
}
NFS_KRB5 { Active_krb5 = false; }
LOG {
	Default_Log_Level = EVENT;
	Components { FSAL = ${NFSH_FSAL_LOG_LEVEL:-EVENT}; EXPORT = INFO; CONFIG = INFO; }
}
EOF
		cat
	} >"$NFSH_CONF"
}

# An EXPORT block for FSAL_VFS over a directory: nfsh_export_vfs ID DIR PSEUDO
nfsh_export_vfs() {
	cat <<EOF
EXPORT {
	Export_Id = $1; Path = "$2"; Pseudo = "$3";
	Access_Type = RO; Squash = No_Root_Squash; Protocols = 3; Transports = TCP; SecType = sys;
	FSAL { Name = VFS; }
}
EOF
}

# An EXPORT block for our plug-in: nfsh_export_qor ID PATH DIR MINOR SEQ [EXTRA FSAL LINES]
nfsh_export_qor() {
	cat <<EOF
EXPORT {
	Export_Id = $1; Path = "$2"; Pseudo = "$2";
	Access_Type = RO; Squash = No_Root_Squash; Protocols = 3; Transports = TCP; SecType = sys;
	FSAL { Name = QOR; dir = "$3"; minor_resource_id = "$4"; seq = $5; ${6:-} }
}
EOF
}

# Starts the server and waits until it serves NFSv3 and MOUNT; fails if it dies.
nfsh_start() {
	[ -z "${NFSH_SERVER_PID:-}" ] || nfsh_die "server already running"
	: >"$NFSH_LOG"
	[ -n "${NFSH_SERVER[*]:-}" ] || NFSH_SERVER=(ganesha.nfsd)
	"${NFSH_SERVER[@]}" -F -f "$NFSH_CONF" -L "$NFSH_LOG" -p "$NFSH_PIDFILE" &
	NFSH_SERVER_PID=$!
	local i
	for i in $(seq $((${NFSH_START_SECONDS:-30} * 10))); do
		if ! kill -0 "$NFSH_SERVER_PID" 2>/dev/null; then
			wait "$NFSH_SERVER_PID" 2>/dev/null
			NFSH_SERVER_PID=
			echo "nfs-harness: server exited at start" >&2
			return 1
		fi
		if grep -q "NFS SERVER INITIALIZED" "$NFSH_LOG" 2>/dev/null &&
			rpcinfo -p 127.0.0.1 2>/dev/null | awk '$1 == 100003 && $2 == 3 { n++ } $1 == 100005 && $2 == 3 { m++ } END { exit !(n && m) }'; then
			return 0
		fi
		sleep 0.1
	done
	echo "nfs-harness: server did not come up" >&2
	return 1
}

# Stops the server with SIGTERM (a regular shutdown that unloads the plug-ins)
# and waits for it; SIGKILL after 20 s. Fails unless the server exits with 0.
nfsh_stop() {
	[ -n "${NFSH_SERVER_PID:-}" ] || return 0
	local pid=$NFSH_SERVER_PID i
	NFSH_SERVER_PID=
	kill -TERM "$pid" 2>/dev/null || return 0
	for i in $(seq 200); do
		if ! kill -0 "$pid" 2>/dev/null; then
			local st=0
			wait "$pid" 2>/dev/null || st=$?
			[ "$st" = 0 ] || echo "nfs-harness: server exited with status $st" >&2
			return "$st"
		fi
		sleep 0.1
	done
	kill -KILL "$pid" 2>/dev/null
	wait "$pid" 2>/dev/null
	echo "nfs-harness: server ignored SIGTERM" >&2
	return 1
}

# Restarts the server; fails if the old one did not exit cleanly, but always
# tries to start the new one.
nfsh_restart() { local st=0; nfsh_stop || st=1; nfsh_start && return "$st"; }

# ---- the test client -------------------------------------------------------
# nfsq ARGS...: runs the client. An NFS error from the server (status 1) is an
# answer; any other failure (usage, transport, a refused mount, a crash, a
# timeout) means the client did not do its work. Such a run is recorded, also
# from a subshell or a pipeline, and the next check fails whatever it compares:
# two empty outputs never pass for a client that could not run.
nfsq() {
	local st=0
	"${NFSQ:?set NFSQ to the nfsq client}" "$@" || st=$?
	[ "$st" -le 1 ] || echo "nfsq $* (status $st)" >>"$NFSH_WORK/client-failures"
	return "$st"
}
# Fails (and forgets them) when client runs failed since the last check.
nfsh_client_failed() {
	[ -s "$NFSH_WORK/client-failures" ] || return 1
	sed 's/^/#   client failed: /' "$NFSH_WORK/client-failures" | head -c 4000 >&2
	rm -f "$NFSH_WORK/client-failures"
}

# ---- small TAP-style assertions -------------------------------------------
NFSH_FAILS=0
NFSH_COUNT=0
ok() { NFSH_COUNT=$((NFSH_COUNT + 1)); echo "ok $NFSH_COUNT - $*"; }
not_ok() { NFSH_COUNT=$((NFSH_COUNT + 1)); NFSH_FAILS=$((NFSH_FAILS + 1)); echo "not ok $NFSH_COUNT - $*"; }
# check DESCRIPTION COMMAND...: passes when COMMAND succeeds
check() {
	local d=$1 st=0; shift
	"$@" || st=1
	if nfsh_client_failed; then not_ok "$d"; elif [ "$st" = 0 ]; then ok "$d"; else not_ok "$d"; fi
}
# check_eq DESCRIPTION EXPECTED ACTUAL
check_eq() {
	if nfsh_client_failed; then not_ok "$1"
	elif [ "$2" = "$3" ]; then ok "$1"; else
		not_ok "$1"; printf '#   expected: %s\n#   actual:   %s\n' "$2" "$3" | head -c 4000 >&2
	fi
}
# check_log DESCRIPTION REGEX: the server log has a line matching REGEX
check_log() {
	if nfsh_client_failed; then not_ok "$1"
	elif grep -Eq -- "$2" "$NFSH_LOG"; then ok "$1"; else not_ok "$1 (log lacks /$2/)"; fi
}
done_testing() {
	nfsh_client_failed && not_ok "client runs after the last check"
	echo "1..$NFSH_COUNT"
	[ "$NFSH_FAILS" = 0 ] || { echo "# $NFSH_FAILS of $NFSH_COUNT checks failed" >&2; exit 1; }
	exit 0
}

# ---- media -----------------------------------------------------------------
# Packs SRC into the medium MEDIA_DIR/MINOR/SEQ.sqfs with an export table:
#   nfsh_pack SRC MEDIA_DIR MINOR SEQ [lz4|zstd|gzip|xz|none] [MKSQUASHFS OPTIONS...]
nfsh_pack() {
	local src=$1 dir=$2 minor=$3 seq=$4 comp=${5:-lz4}
	shift $(($# < 5 ? $# : 5))
	local opts=(-noappend -quiet -no-progress -exports -processors 2)
	case $comp in
	none) opts+=(-noI -noD -noF -noX) ;;
	*) opts+=(-comp "$comp") ;;
	esac
	mkdir -p "$dir/$minor"
	mksquashfs "$src" "$dir/$minor/$seq.sqfs" "${opts[@]}" "$@" >/dev/null
}

# ---- helpers for nfsq output ----------------------------------------------
# attr NAME LINE: the value of NAME=... in an nfsq attribute line
attr() { local k=$1 l=" $2 "; l=${l#* "$k"=}; [ "$l" != " $2 " ] && echo "${l%% *}"; }
# stat of a source file, in nfsq's words: type mode size mtime
src_stat() {
	local t
	case $(stat -c %F "$1") in
	"regular file" | "regular empty file") t=reg ;; directory) t=dir ;; "symbolic link") t=lnk ;;
	fifo) t=fifo ;; socket) t=sock ;; "character special file") t=chr ;; "block special file") t=blk ;;
	*) t=unknown ;;
	esac
	printf '%s %04o %s %s\n' "$t" "0$(stat -c %a "$1")" "$(stat -c %s "$1")" "$(stat -c %Y "$1")"
}
# the same four fields from an nfsq attribute line
nfs_stat() { printf '%s %s %s %s\n' "$(attr type "$1")" "$(attr mode "$1")" "$(attr size "$1")" "$(attr mtime "$1" | cut -d. -f1)"; }

# ---- the server's NFSv3 handles around our 12 bytes -------------------------
# Wire layout: version (1 byte), flags (1), export id (2, big-endian), length of
# the back-end's part (1), the back-end's bytes; padded to a multiple of 4.
# Our bytes: media_id, id, mode, each 32-bit little-endian.
# qfh_get HEX FIELD / qfh_set HEX FIELD VALUE, FIELD: export fslen media id mode
nfsh_qfh_pos() {
	case $1 in
	export) echo "4 4 be" ;; fslen) echo "8 2 be" ;;
	media) echo "10 8 le" ;; id) echo "18 8 le" ;; mode) echo "26 8 le" ;;
	*) nfsh_die "no handle field $1" ;;
	esac
}
qfh_get() {
	local pos len order h
	read -r pos len order <<<"$(nfsh_qfh_pos "$2")"
	h=${1:pos:len}
	[ "$order" = le ] && h=${h:6:2}${h:4:2}${h:2:2}${h:0:2}
	echo $((16#$h))
}
qfh_set() {
	local pos len order h v=$(($3))
	read -r pos len order <<<"$(nfsh_qfh_pos "$2")"
	case $len in
	2) h=$(printf '%02x' $((v & 255))) ;;
	4) h=$(printf '%04x' $((v & 65535))) ;;
	8) h=$(printf '%08x' $((v & 0xffffffff)))
	   [ "$order" = le ] && h=${h:6:2}${h:4:2}${h:2:2}${h:0:2} ;;
	esac
	echo "${1:0:pos}$h${1:pos+len}"
}

# shellcheck shell=bash
# The NFS server (NFSv3 only) and rpcbind in private PID, network and mount
# namespaces: nfsh_enter "$@" re-executes the test as their pid 1, so whatever it
# starts dies with it. NFSH_TMPFS_SIZE sizes the namespace's /run (default 2g),
# which holds NFSH_WORK; NFSH_SERVER (an array) and NFSH_START_SECONDS change
# the server nfsh_start runs.
NFSH_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
nfsh_die() { echo "nfs-harness: $*" >&2; exit 1; }

nfsh_enter() {
	if [ "${NFSH_INSIDE:-}" != 1 ]; then
		[ "$(id -u)" = 0 ] || nfsh_die "must run as root"
		trap 'kill -KILL "$ns" 2>/dev/null' TERM INT HUP
		NFSH_INSIDE=1 unshare --pid --fork --mount-proc --net --mount --propagation private bash "$0" "$@" &
		local ns=$! rc=0
		wait "$ns" || rc=$?
		exit "$rc"
	fi
	set -o pipefail
	mount -t tmpfs -o "size=${NFSH_TMPFS_SIZE:-2g},mode=0755" nfsh-run /run
	# the server keeps NFSv4 recovery state there even when only v3 is enabled
	[ ! -d /var/lib/nfs ] || mount -t tmpfs -o mode=0755 nfsh-varlib /var/lib/nfs
	NFSH_WORK=/run/nfsh NFSH_CONF=/run/nfsh/ganesha.conf NFSH_LOG=/run/nfsh/ganesha.log NFSH_PLUGINS=/run/nfsh/plugins
	mkdir -p /run/ganesha /run/rpcbind "$NFSH_PLUGINS" "$NFSH_WORK/recov"
	ln -s /usr/lib/x86_64-linux-gnu/ganesha/libfsal*.so "$NFSH_PLUGINS"/
	ip link set lo up
	trap 'st=$?; nfsh_stop &>/dev/null; [ $st = 0 ] || [ -n "${NFSH_QUIET_LOG:-}" ] || tail -40 "$NFSH_LOG" >&2' EXIT
	rpcbind -w -f &
	wait_for 5 rpcinfo -p 127.0.0.1 || nfsh_die "rpcbind did not start"
}
# wait_for SECONDS COMMAND...: until COMMAND succeeds
wait_for() {
	local end=$((SECONDS + $1))
	shift
	until "$@" &>/dev/null; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.1; done
}
# for the plug-in's tests: T and M are the test's tree and media directory
nfsh_enter_qor() {
	nfsh_enter "$@"
	nfsh_use_qor "${FSALQOR:?set FSALQOR to libfsalqor.so}"
	: "${NFSQ:?set NFSQ to the nfsq client}"
	T=$NFSH_WORK/tree M=$NFSH_WORK/media
}
nfsh_use_qor() { [ -f "$1" ] && ln -sf "$(readlink -f "$1")" "$NFSH_PLUGINS/libfsalqor.so" || nfsh_die "no plug-in at $1"; }

# The server's configuration: the core part, then the blocks on standard input.
nfsh_conf() {
	cat - >"$NFSH_CONF" <<EOF
NFS_CORE_PARAM { Protocols = 3; Enable_NLM = false; Enable_RQUOTA = false; Plugins_Dir = "$NFSH_PLUGINS"; }
NFSV4 { Graceless = true; RecoveryRoot = "$NFSH_WORK/recov"; }
NFS_KRB5 { Active_krb5 = false; }
LOG { Default_Log_Level = EVENT; Components { FSAL = ${NFSH_FSAL_LOG_LEVEL:-EVENT}; EXPORT = INFO; CONFIG = INFO; } }
$(cat)
EOF
}
nfsh_export() {	# ID PATH PSEUDO FSAL-SETTINGS
	echo "EXPORT { Export_Id = $1; Path = \"$2\"; Pseudo = \"$3\"; Access_Type = RO; Squash = No_Root_Squash;"
	echo "	Protocols = 3; Transports = TCP; SecType = sys; FSAL { $4 } }"
}
nfsh_export_vfs() { nfsh_export "$1" "$2" "$3" "Name = VFS;"; }
# nfsh_export_qor ID PATH MEDIA-DIR MINOR SEQ [MORE FSAL SETTINGS]
nfsh_export_qor() { nfsh_export "$1" "$2" "$2" "Name = QOR; dir = \"$3\"; minor_resource_id = \"$4\"; seq = $5; ${6:-}"; }

nfsh_serving() {	# also true when the server died
	! kill -0 "$NFSH_SERVER_PID" || { grep -q "NFS SERVER INITIALIZED" "$NFSH_LOG" &&
		[ "$(rpcinfo -p 127.0.0.1 | grep -cE ' 10000[35] +3 +tcp')" = 2 ]; }
}
nfsh_start() {
	: >"$NFSH_LOG"
	[ -n "${NFSH_SERVER[*]:-}" ] || NFSH_SERVER=(ganesha.nfsd)
	"${NFSH_SERVER[@]}" -F -f "$NFSH_CONF" -L "$NFSH_LOG" -p "$NFSH_WORK/ganesha.pid" &
	NFSH_SERVER_PID=$!
	wait_for "${NFSH_START_SECONDS:-30}" nfsh_serving && kill -0 "$NFSH_SERVER_PID" && return
	echo "nfs-harness: the server did not come up" >&2
	nfsh_stop
	return 1
}
# SIGTERM: a regular shutdown that unloads the plug-ins; fails unless it exits 0
nfsh_stop() {
	local pid=${NFSH_SERVER_PID:-}
	NFSH_SERVER_PID=
	[ -n "$pid" ] || return 0
	kill -TERM "$pid" 2>/dev/null
	wait_for 20 eval "! kill -0 $pid" || { kill -KILL "$pid"; echo "nfs-harness: the server ignored SIGTERM" >&2; }
	wait "$pid"
}

# The client: an NFS error (status 1) is an answer; any other failure is
# recorded, also from a subshell, and fails the next check.
nfsq() {
	local st=0
	"$NFSQ" "$@" || st=$?
	[ "$st" -le 1 ] || echo "nfsq $* (status $st)" >>"$NFSH_WORK/client-failures"
	return "$st"
}
# TAP checks: check DESCRIPTION COMMAND..., check_eq DESCRIPTION EXPECTED ACTUAL
NFSH_FAILS=0 NFSH_COUNT=0
check() {
	local d=$1 st=0 f=$NFSH_WORK/client-failures
	shift
	"$@" || st=1
	[ ! -s "$f" ] || { head -c 2000 "$f" >&2; rm "$f"; st=1; }
	NFSH_COUNT=$((NFSH_COUNT + 1)) NFSH_FAILS=$((NFSH_FAILS + st))
	if [ "$st" = 0 ]; then echo "ok $NFSH_COUNT - $d"; else echo "not ok $NFSH_COUNT - $d"; fi
}
same() { [ "$1" = "$2" ] || { printf '#   expected: %s\n#   actual:   %s\n' "$1" "$2" | head -c 4000 >&2; false; }; }
check_eq() { check "$1" same "$2" "$3"; }
done_testing() {
	check "no client run failed after the last check" true
	echo "1..$NFSH_COUNT"
	exit $((NFSH_FAILS != 0))
}

# nfsh_pack SRC MEDIA-DIR MINOR SEQ [COMPRESSOR|none] [MKSQUASHFS OPTIONS...]
nfsh_pack() {
	local out=$2/$3/$4.sqfs opts=(-comp "${5:-lz4}")
	[ "${5:-}" != none ] || opts=(-noI -noD -noF -noX)
	mkdir -p "${out%/*}"
	mksquashfs "$1" "$out" -noappend -quiet -no-progress -exports -processors 2 "${opts[@]}" "${@:6}" >/dev/null
}
# attr NAME LINE: NAME's value in an nfsq attribute line
attr() { local l=" $2"; l=${l#* "$1"=}; [ "$l" != " $2" ] && echo "${l%% *}"; }
# type mode size mtime, of a source file and of an nfsq attribute line
src_stat() {
	local f s y
	local -A types=([8]=reg [4]=dir [10]=lnk [1]=fifo)
	read -r f s y <<<"$(stat -c '%f %s %Y' "$1")"
	printf '%s %04o %s %s\n' "${types[$((16#$f >> 12))]:-other}" $((16#$f & 07777)) "$s" "$y"
}
nfs_stat() { local m; m=$(attr mtime "$1"); echo "$(attr type "$1") $(attr mode "$1") $(attr size "$1") ${m%.*}"; }
# The server's NFSv3 handle: version, flags, export id (2 bytes, big-endian),
# the length of the plug-in's part, then its media id, id and mode (4 bytes
# each, little-endian). qfh_set HEX FIELD VALUE, FIELD: export fslen media id mode
qfh_set() {
	local pos len= v=$(($3)) h
	case $2 in export) pos=4 len=4 ;; fslen) pos=8 len=2 ;; media) pos=10 ;; id) pos=18 ;; mode) pos=26 ;; esac
	h=$(printf "%0${len:-8}x" $((v & (len ? (1 << len * 4) - 1 : 0xffffffff))))
	[ -n "$len" ] || h=${h:6:2}${h:4:2}${h:2:2}${h:0:2}
	echo "${1:0:pos}$h${1:pos+${len:-8}}"
}

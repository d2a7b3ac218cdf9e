# Sourced by each group script, the first process of its own PID, mount (and
# network) namespaces: all it starts, mounts and makes ends with it.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../lib/bridge.sh"
[ $$ = 1 ] || { echo "$0 runs only as pid 1 of namespaces of its own (unshare)" >&2; exit 1; }
TRELK=$(readlink -f "$1")
EXIT_BEFORE_RELEASE=${2:-}
mount -t tmpfs -o mode=0700 trelk-tests /run
T=$(mktemp -d /run/trelk-it.XXXXXX)
ROOT=$T/root
CONF=$T/conf.json
PIDFILE=$T/c.pid
passed=0 failed=0
# As the first process of its namespace, the script hears SIGTERM only when it
# handles it: unshare passes one on when the test run is interrupted.
trap 'exit 1' TERM

expect() {
    [ "$2" = "$3" ] && passed=$((passed + 1)) || { echo "not ok - $1: expected '$2', got '$3'" && failed=$((failed + 1)); }
}
finish() { echo "$passed passed, $failed failed" && [ "$failed" -eq 0 ]; }
yesno() { if "$@"; then echo yes; else echo no; fi; }

# make_root DIR: a root with busybox and its applets in /bin.
make_root() {
    mkdir -p "$1/bin" "$1/tmp"
    cp /bin/busybox "$1/bin/busybox"
    for applet in sh true sleep echo cat hostname id ls touch test grep ip ping usleep dd; do
        ln -s busybox "$1/bin/$applet"
    done
}

# write_conf FILE TARGET PIDFILE [BIND_DIRS_MEMBERS [MORE_MEMBERS]]
write_conf() {
    printf '{"bind_dirs": {%s}, "target": "%s", "pidfile": "%s"%s}\n' "${4:-}" "$2" "$3" "${5:-}" >"$1"
}

# run ARGS...: the launcher (through $start_with); status in rc, output in out, log in $T/err.
run() { rc=0 && out=$(${start_with:-} "$TRELK" "$@" 2>"$T/err") || rc=$?; }

# check DESCRIPTION OUTPUT COMMAND...: COMMAND in a container of $CONF prints OUTPUT, exits 0.
check() { run "$CONF" "${@:3}" && expect "$1" "0:$2" "$rc:$out"; }

# start CONF COMMAND...: run in the background (pid in launcher); returns once the
# child named in $PIDFILE has become COMMAND (pid in pid).
start() {
    ${start_with:-} "$TRELK" "$@" 2>"$T/err" & launcher=$!
    local i
    for i in $(seq 500); do
        pid=$(cat "$PIDFILE" 2>/dev/null) || pid=
        [[ $pid =~ ^[0-9]+$ ]] && [ -e "/proc/$pid/exe" ] && ! [ "/proc/$pid/exe" -ef "$TRELK" ] && return 0
        sleep 0.01
    done
    expect "COMMAND of $* started" yes no
    return 1
}

reap() { rc=0 && wait "$launcher" || rc=$?; }
with_umask0() { local u st=0; u=$(umask); umask 0; "$@" || st=$?; umask "$u"; return $st; }

# started PID: the launcher has blocked the signals it watches, as it does first
# thing (false once it has ended). Builtins only, to return within microseconds.
started() {
    local key value bit=$(($(kill -l TERM) - 1)) end=$((${EPOCHREALTIME/./} + 5000000))
    while ((${EPOCHREALTIME/./} < end)); do
        [ -e "/proc/$1" ] || return 1
        # The program first: the shell that starts it may block signals of
        # its own just before it executes the launcher.
        [ "/proc/$1/exe" -ef "$TRELK" ] || continue
        while read -r key value; do
            [ "$key" = SigBlk: ] && (((0x$value >> bit) & 1)) && return 0
        done <"/proc/$1/status" 2>/dev/null || true
    done
    return 1
}

spin() { for ((k = 0; k < $1; k++)); do :; done; }

wait_for() { local i; for i in $(seq 500); do [ -e "$1" ] && return 0 || sleep 0.01; done; return 1; }

alive() { [ -r "/proc/$1/status" ] && ! grep -q '^State:.*[ZX]' "/proc/$1/status" 2>/dev/null; }

# running_with WORD: pids of processes whose command line contains WORD.
running_with() {
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" = "$$" ] || ! tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -qF -- "$1" || echo "${p#/proc/}"
    done
}

veths() { ip -o link show type veth; }

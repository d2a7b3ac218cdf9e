# Helpers for the launcher's integration tests, sourced by each group script.
# A group runs as the first process of its own namespaces: everything it starts
# ends with it, and its mounts and devices vanish with it.
set -euo pipefail
TRELK=$(readlink -f "$1")
# A library that, preloaded, ends the launcher just before it releases the child.
EXIT_BEFORE_RELEASE=${2:-}
# A tmpfs of the group's own mount namespace: its files go with the group,
# however the group ends.
mount -t tmpfs -o mode=0700 trelk-tests /run
T=$(mktemp -d /run/trelk-it.XXXXXX)
ROOT=$T/root
CONF=$T/conf.json
PIDFILE=$T/c.pid
passed=0
failed=0

cleanup() {
    kill -KILL $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    awk -v t="$T" '$5 ~ "^" t {print $5}' /proc/self/mountinfo | sort -r | xargs -r -n1 umount -l
    rm -rf --one-file-system "$T"
}
trap cleanup EXIT
# As the first process of its namespace, the script hears SIGTERM only when it
# handles it: unshare passes one on when the test run is interrupted.
trap 'exit 1' TERM

# expect DESCRIPTION EXPECTED ACTUAL
expect() {
    [ "$2" = "$3" ] && passed=$((passed + 1)) || { echo "not ok - $1: expected '$2', got '$3'" && failed=$((failed + 1)); }
}
finish() { echo "$passed passed, $failed failed" && [ "$failed" -eq 0 ]; }
yesno() { if "$@"; then echo yes; else echo no; fi; }

# make_root DIR: a container root with busybox and its applets in /bin.
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

# run ARGS...: the launcher (through $start_with, if set); its status in rc, its
# output in out, its log in $T/err.
run() { rc=0 && out=$(${start_with:-} "$TRELK" "$@" 2>"$T/err") || rc=$?; }

# check DESCRIPTION OUTPUT COMMAND...: COMMAND in a container of $CONF exits 0
# and prints OUTPUT.
check() { run "$CONF" "${@:3}" && expect "$1" "0:$2" "$rc:$out"; }

# start CONF COMMAND...: the launcher (through $start_with, if set) in the
# background as launcher; once the child named in $PIDFILE has become COMMAND
# (5 s at most), its pid in pid.
start() {
    ${start_with:-} "$TRELK" "$@" 2>"$T/err" &
    launcher=$!
    local i
    for i in $(seq 500); do
        pid=$(cat "$PIDFILE" 2>/dev/null) || pid=
        [[ $pid =~ ^[0-9]+$ ]] && [ -e "/proc/$pid/exe" ] && ! [ "/proc/$pid/exe" -ef "$TRELK" ] && return 0
        sleep 0.01
    done
    expect "COMMAND of $* started" yes no
    return 1
}

# reap: waits for the launcher; its status in rc.
reap() { rc=0 && wait "$launcher" || rc=$?; }

# started PID: the launcher PID has started and blocked the signals it watches,
# as it does first thing (5 s at most; false at once if it has ended). Shell
# builtins only, so that it returns within microseconds of that moment.
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

# spin N: a pause of N empty loop turns, finer than any sleep command.
spin() { for ((k = 0; k < $1; k++)); do :; done; }

# wait_for FILE: true once FILE exists (5 s at most).
wait_for() {
    local i
    for i in $(seq 500); do [ -e "$1" ] && return 0 || sleep 0.01; done
    return 1
}

# alive PID: the process exists and is not a zombie.
alive() { [ -r "/proc/$1/status" ] && ! grep -q '^State:.*[ZX]' "/proc/$1/status" 2>/dev/null; }

# running_with WORD: pids of processes whose command line contains WORD.
running_with() {
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" = "$$" ] || ! tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -qF -- "$1" || echo "${p#/proc/}"
    done
}

# setup_bridge NAME ADDRESS/PREFIX; veths: the veth devices there are.
setup_bridge() { ip link set lo up && ip link add "$1" type bridge && ip addr add "$2" dev "$1" && ip link set "$1" up; }
veths() { ip -o link show type veth; }

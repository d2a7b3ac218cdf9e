# Helpers for the launcher's integration tests, sourced by each group script.
# A group runs as the first process of its own PID, mount, UTS and IPC
# namespaces: everything it starts ends with it, and its mounts vanish with it.
set -u

TRELK=$1
# A library that, preloaded, ends the launcher just before it releases the child.
EXIT_BEFORE_RELEASE=${2:-}
T=$(mktemp -d /tmp/trelk-it.XXXXXX)
passed=0
failed=0
# errno values differ between architectures: take them from the machine
ENOENT=$(python3 -c 'import errno; print(errno.ENOENT)')

cleanup() {
    local pids
    pids=$(jobs -p)
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
    wait 2>/dev/null
    # Unmount anything a test mounted below $T before removing it.
    awk -v t="$T" '$5 ~ "^" t {print $5}' /proc/self/mountinfo | sort -r | xargs -r -n1 umount -l
    rm -rf --one-file-system "$T"
}
trap cleanup EXIT
# As the first process of its namespace, the script hears SIGTERM only when it
# handles it: unshare passes one on when the test run is interrupted.
trap 'exit 1' TERM

pass() { echo "ok - $1"; passed=$((passed + 1)); }
fail() { echo "not ok - $1"; failed=$((failed + 1)); }

# expect DESCRIPTION EXPECTED ACTUAL
expect() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi
}

# expect_in DESCRIPTION NEEDLE FILE
expect_in() {
    if grep -qF -- "$2" "$3"; then pass "$1"; else fail "$1: '$2' not in: $(cat "$3")"; fi
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# make_root DIR: a container root with busybox and its applets in /bin.
make_root() {
    mkdir -p "$1/bin" "$1/tmp"
    cp /bin/busybox "$1/bin/busybox"
    local applet
    for applet in sh true sleep echo cat hostname id ls touch test printf; do
        ln -s busybox "$1/bin/$applet"
    done
}

# write_conf FILE TARGET PIDFILE [BIND_DIRS_MEMBERS]
write_conf() {
    printf '{"bind_dirs": {%s}, "target": "%s", "pidfile": "%s"}\n' "${4:-}" "$2" "$3" >"$1"
}

# wait_for FILE: true once FILE exists and is not empty (5 s at most).
wait_for() {
    local i
    for i in $(seq 500); do
        [ -s "$1" ] && return 0
        sleep 0.01
    done
    return 1
}

# alive PID: the process exists and is not a zombie.
alive() {
    [ -r "/proc/$1/status" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null
}

# started PID: the launcher PID has started and blocked the signals it watches,
# as it does first thing (5 s at most; false at once if it has ended). Shell
# builtins only, so that it returns within microseconds of that moment.
started() {
    local i key value bit
    bit=$(($(kill -l TERM) - 1))
    for ((i = 0; i < 50000; i++)); do
        [ -e "/proc/$1" ] || return 1
        # The program first: the shell that starts it may block signals of
        # its own just before it executes the launcher.
        [ "/proc/$1/exe" -ef "$TRELK" ] || continue
        while read -r key value; do
            [ "$key" = SigBlk: ] && (((0x$value >> bit) & 1)) && return 0
        done <"/proc/$1/status" 2>/dev/null
    done
    return 1
}

# spin N: a pause of N empty shell loop turns, finer than any sleep command.
spin() {
    local k
    for ((k = 0; k < $1; k++)); do :; done
}

# running_with WORD: pids of processes whose command line contains WORD.
running_with() {
    local p
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" = "$$" ] && continue
        tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -qF -- "$1" && echo "${p#/proc/}"
    done
}

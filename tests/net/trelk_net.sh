#!/usr/bin/env bash
# Runs the real trelk with a "net" object: trelk_net.sh TRELK CASE
#
# Everything happens in network, PID and mount namespaces made here: the bridge
# and its address exist only there, and the namespaces (with every device, route
# and process in them) go away when this script ends, however it ends.
set -euo pipefail

if [ -z "${TRELK_NET_INNER:-}" ]; then
    TRELK_NET_INNER=1 exec unshare --net --pid --fork --kill-child=SIGTERM --mount-proc \
        bash "$0" "$@"
fi

trelk=$(readlink -f "$1")
case_name=$2

bridge=br-trelk
gateway=10.77.0.1

work=$(mktemp -d /tmp/trelk-net.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
# As the first process of its PID namespace this shell hears only the signals
# it handles: unshare passes SIGTERM on when the test run is interrupted.
trap 'exit 1' TERM
root=$work/root
log=$work/trelk.log
trelk_pid=
trelk_rc=

fail() {
    echo "not ok - $case_name: $*"
    if [ -s "$log" ]; then
        echo "--- trelk log"
        cat "$log"
    fi
    for f in "$root"/out/*; do
        [ -e "$f" ] && { echo "--- ${f##*/}"; cat "$f"; }
    done
    exit 1
}

setup_bridge() {
    ip link set lo up
    ip link add "$bridge" type bridge
    ip addr add "$gateway/24" dev "$bridge"
    ip link set "$bridge" up
}

# A root holding a static busybox and a script that records what the container
# sees, then waits (bounded) until the test has looked at the host side.
make_root() {
    mkdir -p "$root/bin" "$root/tmp" "$root/out"
    cp /bin/busybox "$root/bin/busybox"
    cat >"$root/inner.sh" <<EOF
bb=/bin/busybox
\$bb ip -o link show >/out/link
\$bb ip -o -4 addr show >/out/addr
\$bb ip route show >/out/route
\$bb ping -c 1 -W 3 $gateway >/out/ping 2>&1 && echo reached >/out/reached
echo ready >/out/ready
i=0
while [ ! -e /out/go ] && [ \$i -lt 300 ]; do
    \$bb usleep 100000
    i=\$((i + 1))
done
EOF
}

# write_conf NAME LINK IPV4 [PIDFILE]
write_conf() {
    cat >"$work/conf.json" <<EOF
{
  "bind_dirs": {},
  "target": "$root",
  "pidfile": "${4:-$work/trelk.pid}",
  "net": { "name": "$1", "link": "$2", "ipv4": "$3", "gateway": "$gateway" }
}
EOF
}

start_trelk() {
    "$trelk" "$work/conf.json" /bin/busybox sh /inner.sh >"$log" 2>&1 &
    trelk_pid=$!
}

wait_trelk() {
    trelk_rc=0
    wait "$trelk_pid" || trelk_rc=$?
}

wait_for_file() {
    for _ in $(seq 100); do
        [ -e "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

veths() {
    ip -o link show type veth
}

# A moved container end dies with the container's namespace, which the kernel
# tears down asynchronously; its host peer goes with it.
expect_no_veth() {
    for _ in $(seq 50); do
        [ -z "$(veths)" ] && return 0
        sleep 0.1
    done
    fail "veth left behind: $(veths)"
}

expect_log() {
    grep -qF -- "$1" "$log" || fail "log lacks: $1"
}

expect_in() {
    grep -qE -- "$2" "$root/out/$1" || fail "$1 lacks: $2"
}

# Host end up, MTU 1500, a port of the bridge; then lets the container finish.
check_host_end() {
    wait_for_file "$root/out/ready" || fail "container did not report"
    local host
    host=$(ip -o link show master "$bridge" type veth)
    [ "$(printf '%s\n' "$host" | grep -c .)" = 1 ] || fail "expected one port on $bridge: $host"
    [[ $host == *"veth"* ]] || fail "bridge port is not the veth: $host"
    [[ $host == *",UP"* ]] || fail "host end not up: $host"
    [[ $host == *"mtu 1500 "* ]] || fail "host end mtu: $host"
    touch "$root/out/go"
}

expect_success() {
    wait_trelk
    [ "$trelk_rc" = 0 ] || fail "trelk exited $trelk_rc"
    expect_no_veth
}

expect_failure() {
    wait_trelk
    [ "$trelk_rc" = 1 ] || fail "trelk exited $trelk_rc, expected 1"
    expect_no_veth
}

case_named_device() {
    write_conf ceth0 "$bridge" 10.77.0.2/24
    start_trelk
    check_host_end
    expect_success
    expect_in link '^[0-9]+: ceth0@if[0-9]+: <[^>]*\bUP\b'
    expect_in link '^1: lo: <[^>]*\bUP\b'
    expect_in addr 'ceth0 +inet 10\.77\.0\.2/24 '
    expect_in route "^default via $gateway dev ceth0"
    [ -e "$root/out/reached" ] || fail "gateway not reachable from the container"
    expect_log "'ceth0' has been setup"
    expect_log "instantiate veth 'veth"
}

case_kernel_name() {
    write_conf "" "$bridge" 10.77.0.3/24
    start_trelk
    check_host_end
    expect_success
    expect_in addr 'eth0 +inet 10\.77\.0\.3/24 '
    expect_in route "^default via $gateway dev eth0"
    expect_log "'eth0' has been setup"
}

case_gateway_outside_subnet() {
    write_conf ceth0 "$bridge" 10.77.0.5/30
    start_trelk
    check_host_end
    expect_success
    expect_in addr 'ceth0 +inet 10\.77\.0\.5/30 '
    expect_in route "^$gateway dev ceth0 +scope link"
    expect_in route "^default via $gateway dev ceth0"
    [ -e "$root/out/reached" ] || fail "gateway not reachable from the container"
    expect_log "'ceth0' has been setup"
    if grep -q "Failed" "$log"; then fail "first gateway refusal was reported"; fi
}

case_missing_bridge() {
    write_conf ceth0 nosuchbr0 10.77.0.2/24
    start_trelk
    expect_failure
    expect_log "' to the bridge 'nosuchbr0'"
    expect_log "Failed to attach 'veth"
    expect_log "Failed to instantiate_veth"
    [ ! -e "$root/out/ready" ] || fail "COMMAND ran"
}

case_long_name() {
    write_conf 0123456789abcdef "$bridge" 10.77.0.2/24
    start_trelk
    expect_failure
    expect_log "->0123456789abcdef"
    expect_log "Failed to rename veth"
    expect_log "Failed to setup netdev"
    [ ! -e "$root/out/ready" ] || fail "COMMAND ran"
}

# The pid file cannot be written (its parent is a regular file), after the
# pair was made and before it was handed to the container.
case_launcher_failure() {
    touch "$work/plainfile"
    write_conf ceth0 "$bridge" 10.77.0.2/24 "$work/plainfile/trelk.pid"
    start_trelk
    expect_failure
    expect_log "instantiate veth 'veth"
    expect_log "Failed to write pid="
    [ -z "$(ip -o link show master "$bridge")" ] || fail "bridge still has a port"
}

# SIGTERM at varied moments of the start-up, once the launcher has blocked the
# signals it watches (its first step): status 1, and no veth pair, process or
# pid file left, each checked at once. Shell builtins only while watching for
# that moment; the pauses are empty loop turns, from none to past COMMAND.
case_signals() {
    local trial key value bit started k spins=(0 20 50 100 200 400 800 1600 3200 12800)
    bit=$(($(kill -l TERM) - 1))
    write_conf ceth0 "$bridge" 10.77.0.2/24
    for trial in $(seq 30); do
        start_trelk
        started=
        for ((k = 0; k < 50000; k++)); do
            # The program first: the shell that starts it may block signals
            # of its own just before it executes the launcher.
            [ "/proc/$trelk_pid/exe" -ef "$trelk" ] || continue
            while read -r key value; do
                [ "$key" = SigBlk: ] && (((0x$value >> bit) & 1)) && started=yes
            done <"/proc/$trelk_pid/status" 2>/dev/null
            [ -n "$started" ] && break
        done
        [ -n "$started" ] || fail "trial $trial: trelk did not start"
        for ((k = 0; k < ${spins[trial % 10]}; k++)); do :; done
        kill -TERM "$trelk_pid"
        wait_trelk
        [ "$trelk_rc" = 1 ] || fail "trial $trial: trelk exited $trelk_rc"
        [ -z "$(veths)" ] || fail "trial $trial: veth left behind: $(veths)"
        [ ! -e "$work/trelk.pid" ] || fail "trial $trial: pid file left behind"
        [ -z "$(pgrep -f "$work/conf.json|/inner.sh")" ] || fail "trial $trial: process left behind"
    done
}

setup_bridge
make_root
"case_${case_name//-/_}"
echo "ok - $case_name"

# Signals at any moment, and failures after the container exists.
. "$(dirname "$0")/lib.sh"

make_root "$ROOT"
mkdir -p "$T/out"
write_conf "$CONF" "$ROOT" "$PIDFILE" "\"$T/out\": \"/out\""
setup_bridge br-sig 10.78.0.1/24
write_conf "$T/net.json" "$ROOT" "$PIDFILE" "" \
    ', "net": {"name": "ceth0", "link": "br-sig", "ipv4": "10.78.0.2/24", "gateway": "10.78.0.1"}'

# SIGTERM, SIGINT, SIGQUIT kill the container, remove the pid file, exit 1; SIGPIPE,
# SIGIO, SIGURG do not end it, and COMMAND starts with them as the launcher did.
pipe_io_urg=$(((1 << ($(kill -l PIPE) - 1)) | (1 << ($(kill -l IO) - 1)) | (1 << ($(kill -l URG) - 1))))
for sig in TERM INT QUIT; do
    [ $sig = INT ] && how=ignore ignored=$pipe_io_urg || how=default ignored=0
    start_with="env --$how-signal=PIPE,IO,URG" start "$CONF" /bin/sleep 100
    kill -PIPE $launcher && kill -IO $launcher && kill -URG $launcher && sleep 0.1
    expect "$sig: the launcher survives SIGPIPE, SIGIO, SIGURG; COMMAND has them $how" "yes:$ignored" \
        "$(yesno alive $launcher):$((0x$(awk '/^SigIgn:/ {print $2}' "/proc/$pid/status") & pipe_io_urg))"
    kill -"$sig" $launcher; reap
    expect "$sig" "1:no:no" "$rc:$(yesno alive "$pid"):$(yesno test -e "$PIDFILE")"
done

# SIGHUP is forwarded to a COMMAND that traps it; the launcher keeps waiting.
start "$CONF" /bin/sh -c 'trap "echo got-hup > /out/hup; exit 5" HUP; echo > /out/ready; while :; do sleep 0.05; done'
wait_for "$T/out/ready"
kill -HUP $launcher; reap
expect "SIGHUP reaches COMMAND" "5:got-hup" "$rc:$(cat "$T/out/hup" 2>/dev/null)"

# An unwritable pid file ends the run before COMMAND, leaving no part of the
# container (left to itself, the child would fail its handshake and say so).
touch "$T/full" "$T/notdir"
mount --bind /dev/full "$T/full"
for pidfile in "$T/full" "$T/notdir/c.pid"; do
    rm -f "$T/out/ran"
    write_conf "$T/fail.json" "$ROOT" "$pidfile" "\"$T/out\": \"/out\""
    run "$T/fail.json" /bin/sh -c 'touch /out/ran; sleep 100'
    sleep 0.2
    expect "unwritable pid file $pidfile" "1:no::" \
        "$rc:$(yesno test -e "$T/out/ran"):$(grep -F socket "$T/err"):$(running_with "$T/fail.json")"
done

# A child whose launcher is gone before releasing it exits without COMMAND.
rm -f "$T/out/ran"
LD_PRELOAD=$EXIT_BEFORE_RELEASE run "$CONF" /bin/sh -c 'touch /out/ran' orphan-check
for i in $(seq 500); do [ -z "$(running_with orphan-check)" ] && break || sleep 0.01; done
expect "orphaned child ends without COMMAND" "77::no" "$rc:$(running_with orphan-check):$(yesno test -e "$T/out/ran")"

# Terminating signals at any moment of the start-up end it with status 1, leaving
# no process, pid file, veth or file in the target's tmp; a hang-up does not end
# it. The pauses (empty loop turns) range from none to past the start of COMMAND.
spins=(0 10 20 50 100 200 400 800 1600 6400 12800) signals=(INT QUIT TERM) confs=("$CONF" "$T/net.json") bad=
for trial in $(seq 66); do
    rm -f "$PIDFILE"
    "$TRELK" "${confs[trial % 2]}" /bin/sh -c 'sleep 100' "trial-$trial" 2>"$T/err" & launcher=$!
    sig=${signals[trial % 3]}
    started $launcher || bad+=" $trial:not-started"
    spin "${spins[trial % 11]}"
    kill -"$sig" $launcher; reap
    left="$rc:$(running_with "trial-$trial"):$(yesno test -e "$PIDFILE"):$(veths):$(ls -A "$ROOT/tmp")"
    [ "$left" = "1::no::" ] || bad+=" $trial:$sig:$left"
done
expect "terminating signals during start-up" "" "$bad"
for trial in $(seq 22); do
    "$TRELK" "$CONF" /bin/sh -c 'trap "exit 7" HUP; sleep 0.05; exit 7' "hup-$trial" 2>"$T/err" & launcher=$!
    started $launcher || true # may be over before a loaded machine lets us look
    spin "${spins[trial % 11]}"
    kill -HUP $launcher 2>/dev/null || true; reap
    # passed on to COMMAND before its trap is set, it ends it: status 1, no failure
    [ $rc = 7 ] || { [ $rc = 1 ] && ! grep -q Failed "$T/err"; } || bad+=" $trial:status-$rc:$(cat "$T/err")"
done
expect "hang-ups during start-up" "" "$bad"

finish

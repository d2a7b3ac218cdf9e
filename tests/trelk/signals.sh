# Signals, leftover containers and failures after the container exists.
. "$(dirname "$0")/lib.sh"

ROOT=$T/root
CONF=$T/conf.json
PIDFILE=$T/c.pid
make_root "$ROOT"
mkdir -p "$T/out"
write_conf "$CONF" "$ROOT" "$PIDFILE" "\"$T/out\": \"/out\""

# start_sleeper: a launcher running a long COMMAND; sets launcher and pid.
start_sleeper() {
    "$TRELK" "$CONF" /bin/sleep 100 2>"$T/err" &
    launcher=$!
    wait_for "$PIDFILE" && pid=$(cat "$PIDFILE")
    # Past the handshake once the child has become COMMAND.
    for i in $(seq 500); do
        grep -q sleep "/proc/$pid/cmdline" 2>/dev/null && break
        sleep 0.01
    done
}

# SIGTERM: the container is killed, the pid file removed, the launcher exits 1.
start_sleeper
kill -TERM $launcher
wait $launcher
expect "SIGTERM exits 1" 1 $?
expect "SIGTERM ends the container" no "$(alive "$pid" && echo yes || echo no)"
expect "SIGTERM removes the pid file" no "$([ -e "$PIDFILE" ] && echo yes || echo no)"
expect_in "SIGTERM is logged" "Signal 15 (Terminated) caught on trelk." "$T/err"

# SIGHUP is forwarded to a COMMAND that traps it; the launcher keeps waiting.
rm -f "$T/out/"*
"$TRELK" "$CONF" /bin/sh -c \
    'trap "echo got-hup > /out/hup; exit 5" HUP; echo > /out/ready; while :; do sleep 0.05; done' 2>"$T/err" &
launcher=$!
if wait_for "$T/out/ready"; then
    kill -HUP $launcher
    wait $launcher
    expect "COMMAND's status after SIGHUP" 5 $?
    expect "SIGHUP reached COMMAND" got-hup "$(cat "$T/out/hup" 2>/dev/null)"
    expect_in "SIGHUP is logged" "Signal 1 (Hangup) catch on trelk." "$T/err"
else
    fail "COMMAND never became ready"
fi

# A container left by a SIGKILLed launcher is ended by the next run.
start_sleeper
old=$pid
kill -KILL $launcher
wait $launcher 2>/dev/null
expect "container outlives a SIGKILLed launcher" yes "$(alive "$old" && echo yes || echo no)"
"$TRELK" "$CONF" /bin/true
expect "next run succeeds" 0 $?
expect "leftover container ended" no "$(alive "$old" && echo yes || echo no)"

# A stale pid file naming an unrelated process leaves that process alone.
sleep 100 &
bystander=$!
printf '%s' $bystander >"$PIDFILE"
"$TRELK" "$CONF" /bin/true
expect "run with a stale pid file succeeds" 0 $?
expect "unrelated process left alive" yes "$(alive $bystander && echo yes || echo no)"
kill -KILL $bystander
wait $bystander 2>/dev/null

# A pid file that cannot be written ends the run before COMMAND starts, and
# leaves no part of the container behind.
touch "$T/full" "$T/notdir"
mount --bind /dev/full "$T/full"
for pidfile in "$T/full" "$T/notdir/c.pid"; do
    rm -f "$T/out/ran"
    write_conf "$T/fail.json" "$ROOT" "$pidfile" "\"$T/out\": \"/out\""
    "$TRELK" "$T/fail.json" /bin/sh -c 'touch /out/ran; sleep 100' 2>"$T/err"
    expect "unwritable pid file $pidfile exits 1" 1 $?
    expect_in "unwritable pid file $pidfile is reported" "Failed to write pid=" "$T/err"
    sleep 0.2
    expect "no COMMAND ran ($pidfile)" no "$([ -e "$T/out/ran" ] && echo yes || echo no)"
    # Left to itself, the child would fail its handshake and say so.
    expect "child killed before its handshake failed ($pidfile)" "" "$(grep -F socket "$T/err")"
    expect "no process left ($pidfile)" "" "$(running_with "$T/fail.json")"
done
umount "$T/full"

# A pid file naming another container (the first process of another PID
# namespace, with another root) leaves that container alone.
unshare --pid --fork --kill-child sleep 100 &
holder=$!
other=
for i in $(seq 500); do
    read -r other _ <"/proc/$holder/task/$holder/children" 2>/dev/null
    [ -n "$other" ] && break
    sleep 0.01
done
expect "the other container is pid 1 of its namespace" 1 "$(awk '/^NSpid:/ {print $NF}' "/proc/${other:-0}/status")"
printf '%s' "$other" >"$PIDFILE"
"$TRELK" "$CONF" /bin/true
expect "run with another container in the pid file succeeds" 0 $?
expect "another container left alive" yes "$(alive "$other" && echo yes || echo no)"
kill -KILL $holder
wait $holder 2>/dev/null

# A child whose launcher is gone before releasing it exits without COMMAND.
rm -f "$T/out/ran"
LD_PRELOAD=$EXIT_BEFORE_RELEASE "$TRELK" "$CONF" /bin/sh -c 'touch /out/ran' orphan-check 2>"$T/err"
expect "launcher ended before the release" 77 $?
for i in $(seq 500); do
    [ -z "$(running_with orphan-check)" ] && break
    sleep 0.01
done
expect "orphaned child ended" "" "$(running_with orphan-check)"
expect "orphaned child did not run COMMAND" no "$([ -e "$T/out/ran" ] && echo yes || echo no)"
expect_in "orphaned child says why" "Launcher ended before releasing the container" "$T/err"

# Terminating signals at any moment of the start-up end the launch with
# status 1, leaving no process, no pid file and nothing in the target's tmp; a
# hang-up before COMMAND runs does not end it. Many trials at varied delays
# reach every step (the start-up takes milliseconds: the pauses range from none
# to past the start of COMMAND).
spins=(0 10 20 50 100 200 400 800 1600 6400)
signals=(INT QUIT TERM)
bad=
for trial in $(seq 60); do
    rm -f "$PIDFILE"
    "$TRELK" "$CONF" /bin/sh -c 'sleep 100' "trial-$trial" 2>"$T/err" &
    launcher=$!
    sig=${signals[trial % 3]}
    started $launcher || bad+=" $trial:not-started"
    spin "${spins[trial % 10]}"
    kill -"$sig" $launcher
    wait $launcher
    rc=$?
    [ $rc = 1 ] || bad+=" $trial:$sig:status-$rc"
    [ -z "$(running_with "trial-$trial")" ] || bad+=" $trial:$sig:process-left"
    [ ! -e "$PIDFILE" ] || bad+=" $trial:$sig:pid-file-left"
    [ -z "$(ls -A "$ROOT/tmp")" ] || bad+=" $trial:$sig:left-in-tmp:$(ls -A "$ROOT/tmp")"
done
expect "terminating signals during start-up" "" "$bad"
bad=
for trial in $(seq 40); do
    "$TRELK" "$CONF" /bin/sh -c 'trap "exit 7" HUP; sleep 0.05; exit 7' "hup-$trial" 2>"$T/err" &
    launcher=$!
    started $launcher
    spin "${spins[trial % 10]}"
    kill -HUP $launcher 2>/dev/null
    wait $launcher
    rc=$?
    # A hang-up passed on to COMMAND before its trap is set ends it (status 1),
    # but never with a failure of the launch.
    [ $rc = 7 ] || { [ $rc = 1 ] && ! grep -q Failed "$T/err"; } || bad+=" $trial:status-$rc:$(cat "$T/err")"
done
expect "hang-ups during start-up" "" "$bad"

finish

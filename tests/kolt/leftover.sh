# A pid file left by an earlier launcher names the container to end first: pid 1
# of a PID namespace rooted at the target. Anything else is stale, never signalled.
. "$(dirname "$0")/../trelk/lib.sh"
make_root "$ROOT"
write_conf "$CONF" "$ROOT" "$PIDFILE"

sleep 100 & bystander=$!
chroot "$ROOT" /bin/sleep 100 & chrooted=$!
unshare --pid --fork --kill-child sleep 100 & holder=$!
python3 -c 'import threading, time; threading.Thread(target=time.sleep, args=(100,)).start(); time.sleep(100)' & threaded=$!
sleep 0 & gone=$!
wait $gone
# held_leftover: a container left by a SIGKILLed launcher (pid in leftover) that
# cannot end while a process of its PID namespace (held) waits, as a zombie, for
# its parent outside (keeper, stopped) to reap it: it ends when the test lets it.
held_leftover() {
    start "$CONF" /bin/sleep 100; kill -KILL $launcher; reap; leftover=$pid
    nsenter -t $leftover -p sleep 100 & keeper=$!
    for i in $(seq 500); do read -r held _ <"/proc/$keeper/task/$keeper/children" || [ -n "$held" ] && break || sleep 0.01; done
    kill -STOP $keeper
}
held_leftover
for i in $(seq 500); do
    read -r other _ <"/proc/$holder/task/$holder/children" || true
    tid=$(ls "/proc/$threaded/task" | grep -vx "$threaded" || true)
    [ -n "$other" ] && [ -n "$tid" ] && break
    sleep 0.01
done
expect "another container, pid 1 of its namespace" 1 "$(awk '/^NSpid:/ {print $NF}' "/proc/$other/status")"
for content in $bystander $chrooted $other $tid $gone "" 0 -1 abc " $leftover" "${leftover}abc" "$leftover $leftover" \
    99999999999999999999 4194305000; do
    printf '%s' "$content" >"$PIDFILE"
    check "stale pid file '$content'" "" /bin/true
done
expect "nothing signalled" "yes yes yes yes yes" \
    "$(for p in $bystander $chrooted $other $threaded $leftover; do yesno alive "$p"; done | xargs)"
# A launcher ends the container its pid file names and waits for its end before
# it starts its own; a stop request ends that wait at once.
for stop in CONT TERM; do
    [ $stop = CONT ] || held_leftover
    printf '%s' "$leftover" >"$PIDFILE" && rm -f "$ROOT/tmp/ran"
    "$TRELK" "$CONF" /bin/sh -c 'touch /tmp/ran' 2>"$T/err" & launcher=$!
    for i in $(seq 500); do grep -q '^State:.*Z' "/proc/$held/status" && break || sleep 0.01; done
    sleep 0.1
    expect "$stop: waiting for the leftover" "yes:no" "$(yesno alive $launcher):$(yesno test -e "$ROOT/tmp/ran")"
    [ $stop = TERM ] && kill -TERM $launcher || kill -CONT $keeper
    end=$((${EPOCHREALTIME/./} + 3000000)) # well before the 5 s a leftover is given
    while alive $launcher && ((${EPOCHREALTIME/./} < end)); do sleep 0.01; done
    ended="$(yesno alive $launcher):$(yesno alive $leftover)"
    kill -CONT $keeper 2>/dev/null || true; reap
    expect "$stop: the launcher ends, the leftover still held on a stop request" \
        "$([ $stop = TERM ] && echo 1:no:yes:no || echo 0:no:no:yes)" "$rc:$ended:$(yesno test -e "$ROOT/tmp/ran")"
done

finish

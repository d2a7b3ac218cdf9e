# A pid file left by an earlier launcher names the container to end first: pid 1
# of a PID namespace rooted at the target. Anything else is stale, never signalled.
. "$(dirname "$0")/../trelk/lib.sh"
make_root "$ROOT"
write_conf "$CONF" "$ROOT" "$PIDFILE"

sleep 100 & bystander=$!
chroot "$ROOT" /bin/sleep 100 & chrooted=$!
unshare --pid --fork --kill-child sleep 100 & holder=$!
python3 -c 'import threading, time; threading.Thread(target=time.sleep, args=(100,)).start(); time.sleep(100)' & threaded=$!
sleep 0 & gone=$! && wait $gone
# The container of a SIGKILLed launcher (leftover) cannot end while a zombie of its
# PID namespace (held) waits for its parent outside (keeper, stopped) to reap it.
start "$CONF" /bin/sleep 100; kill -KILL $launcher; reap; leftover=$pid
nsenter -t $leftover -p sleep 100 & keeper=$!
for i in $(seq 500); do
    read -r other _ <"/proc/$holder/task/$holder/children" || true
    read -r held _ <"/proc/$keeper/task/$keeper/children" || true
    tid=$(ls "/proc/$threaded/task" | grep -vx "$threaded" || true)
    [ -n "$other" ] && [ -n "$held" ] && [ -n "$tid" ] && break
    sleep 0.01
done
kill -STOP $keeper
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
printf '%s' "$leftover" >"$PIDFILE"
"$TRELK" "$CONF" /bin/touch /tmp/ran 2>"$T/err" & launcher=$!
for i in $(seq 500); do grep -q '^State:.*Z' "/proc/$held/status" && break || sleep 0.01; done; sleep 0.1
waited="$(yesno alive $launcher):$(yesno test -e "$ROOT/tmp/ran")"
kill -TERM $launcher
end=$((${EPOCHREALTIME/./} + 3000000)) # well before the 5 s a leftover is given
while alive $launcher && ((${EPOCHREALTIME/./} < end)); do sleep 0.01; done
ended="$(yesno alive $launcher):$(yesno alive $leftover)"
kill -CONT $keeper; reap
expect "a stop request while waiting for the leftover" "yes:no:no:yes:1:no" "$waited:$ended:$rc:$(yesno test -e "$ROOT/tmp/ran")"
start "$CONF" /bin/sleep 100; kill -KILL $launcher; reap
run "$CONF" /bin/touch /tmp/ran
expect "a launch after a SIGKILLed launcher ends its container first" "0:no:yes" "$rc:$(yesno alive $pid):$(yesno test -e "$ROOT/tmp/ran")"

finish

# A pid file left by an earlier launcher names the container to end before a
# new one starts: the first process of a PID namespace whose root is the
# target. Whatever else it names is stale, and nothing is signalled.
. "$(dirname "$0")/../trelk/lib.sh"
make_root "$ROOT"
write_conf "$CONF" "$ROOT" "$PIDFILE"

sleep 100 &
bystander=$!
chroot "$ROOT" /bin/sleep 100 &
chrooted=$!
unshare --pid --fork --kill-child sleep 100 &
holder=$!
python3 -c 'import threading, time; threading.Thread(target=time.sleep, args=(100,)).start(); time.sleep(100)' &
threaded=$!
sleep 0 &
gone=$!
wait $gone
start "$CONF" /bin/sleep 100
kill -KILL $launcher
reap
leftover=$pid
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
printf '%s\n' "$leftover" >"$PIDFILE"
check "a run after a SIGKILLed launcher" "" /bin/true
expect "its container ended" no "$(yesno alive "$leftover")"

finish

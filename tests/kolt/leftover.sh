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
# The container left behind holds 400 MB (dd's buffer, blocked on a pipe nobody
# reads): the kernel takes a while to end it, and a launcher must wait that out.
write_conf "$T/dev.json" "$ROOT" "$PIDFILE" '"/dev": "/dev"'
start "$T/dev.json" /bin/sh -c 'dd if=/dev/zero bs=400M count=1 | sleep 100'
rss() { awk '/^VmRSS/ {print $2}' "/proc/$(pgrep -x dd)/status" 2>/dev/null || echo 0; }
for i in $(seq 1000); do [ "$(rss)" -gt 400000 ] && break || sleep 0.01; done
kill -KILL $launcher; reap; leftover=$pid
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
# A terminating signal already pending ends the launch right after the leftover.
printf '%s\n' "$leftover" >"$PIDFILE"
python3 -c 'import os, signal, sys; signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
os.kill(os.getpid(), signal.SIGTERM); os.execv(sys.argv[1], sys.argv[1:])' "$TRELK" "$CONF" /bin/true && rc=0 || rc=$?
expect "a launch after a SIGKILLed launcher ends its container first" "1:no" "$rc:$(yesno alive "$leftover")"

finish

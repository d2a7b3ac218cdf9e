# Command line, exit status and pid file of the launcher.
. "$(dirname "$0")/lib.sh"

ROOT=$T/root
CONF=$T/conf.json
PIDFILE=$T/run/sub/c.pid
make_root "$ROOT"
write_conf "$CONF" "$ROOT" "$PIDFILE"

# Usage without COMMAND; CONF is not even read.
"$TRELK" "$T/none.json" 2>"$T/err"
expect "no COMMAND exits 1" 1 $?
expect "usage line" "Usage: $TRELK CONF COMMAND" "$(cat "$T/err")"
"$TRELK" 2>"$T/err"
expect "no arguments exits 1" 1 $?
expect_in "usage line without arguments" "Usage: $TRELK CONF COMMAND" "$T/err"

# Exit status of COMMAND.
"$TRELK" "$CONF" /bin/true
expect "COMMAND exiting 0" 0 $?
"$TRELK" "$CONF" /bin/sh -c 'exit 7'
expect "COMMAND exiting 7" 7 $?
out=$("$TRELK" "$CONF" /bin/sh -c 'echo "$#:$1:$2"' x "a  b" c)
expect "arguments reach COMMAND unchanged" "2:a  b:c" "$out"
expect "COMMAND is pid 1 of its namespace" 1 "$("$TRELK" "$CONF" /bin/sh -c 'echo $$')"

"$TRELK" "$CONF" /no/such/cmd arg1 "arg 2" 2>"$T/err"
expect "missing COMMAND exits with ENOENT" 2 $?
expect_in "exec failure names the whole command line" \
    "Failed to execute '/no/such/cmd arg1 arg 2', errno=2, No such file or directory" "$T/err"

echo '{"bind_dirs": {}, "target": 3}' >"$T/bad.json"
"$TRELK" "$T/bad.json" /bin/true 2>"$T/err"
expect "bad configuration exits 1" 1 $?
expect_in "bad configuration is reported" "Exception catch on load_config, error='" "$T/err"

# COMMAND killed by a signal (from outside: pid 1 of a namespace ignores its own).
"$TRELK" "$CONF" /bin/sleep 100 &
launcher=$!
if wait_for "$PIDFILE"; then
    kill -KILL "$(cat "$PIDFILE")"
    wait $launcher
    expect "COMMAND killed by a signal exits 1" 1 $?
else
    fail "pid file never appeared"
fi
expect "pid file removed after a killed COMMAND" no "$([ -e "$PIDFILE" ] && echo yes || echo no)"

# Pid file: decimal pid of the container, no newline, mode 0640, parent
# directories created, removed at the end.
rm -rf "$T/run"
(umask 0; exec "$TRELK" "$CONF" /bin/sleep 100) &
launcher=$!
wait_for "$PIDFILE"
pid=$(cat "$PIDFILE")
expect "pid file holds only digits" yes "$([[ $pid =~ ^[0-9]+$ ]] && echo yes || echo no)"
expect "pid file has no newline" "${#pid}" "$(stat -c %s "$PIDFILE")"
expect "pid file mode" 640 "$(stat -c %a "$PIDFILE")"
expect "missing pid-file directories are created" yes "$([ -d "$T/run/sub" ] && echo yes || echo no)"
expect "pid file names the launcher's child" "$launcher" "$(awk '/^PPid:/ {print $2}' "/proc/$pid/status")"
expect "the child is pid 1 of its own namespace" 1 "$(awk '/^NSpid:/ {print $NF}' "/proc/$pid/status")"
kill -KILL "$pid"
wait $launcher
expect "pid file removed on exit" no "$([ -e "$PIDFILE" ] && echo yes || echo no)"

# An older, longer pid file is truncated.
printf '999999999 from an older run' >"$PIDFILE"
"$TRELK" "$CONF" /bin/sleep 100 &
launcher=$!
for i in $(seq 500); do
    case $(cat "$PIDFILE" 2>/dev/null) in 999999999*) sleep 0.01 ;; *) break ;; esac
done
pid=$(cat "$PIDFILE")
expect "older pid file truncated" yes "$([[ $pid =~ ^[0-9]+$ ]] && alive "$pid" && echo yes || echo no)"
kill -KILL "$pid"
wait $launcher

finish

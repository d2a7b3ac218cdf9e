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
expect "missing COMMAND exits with ENOENT" "$ENOENT" $?
expect_in "exec failure names the whole command line" \
    "Failed to execute '/no/such/cmd arg1 arg 2', errno=$ENOENT, No such file or directory" "$T/err"

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

# The pid file replaces a symbolic link at its path, never writes through it;
# at exit a pid file that another launcher has put there since stays.
echo precious >"$T/victim"
ln -sfn "$T/victim" "$PIDFILE"
"$TRELK" "$CONF" /bin/sleep 100 &
launcher=$!
for i in $(seq 500); do
    [ -f "$PIDFILE" ] && [ ! -L "$PIDFILE" ] && break
    sleep 0.01
done
pid=$(cat "$PIDFILE")
expect "link target left alone" precious "$(cat "$T/victim")"
expect "pid file replaced the link" yes "$([ -f "$PIDFILE" ] && [ ! -L "$PIDFILE" ] && echo yes || echo no)"
printf 424242 >"$T/run/sub/other"
mv -f "$T/run/sub/other" "$PIDFILE"
kill -KILL "$pid"
wait $launcher
expect "another launcher's pid file stays" 424242 "$(cat "$PIDFILE")"
rm -f "$PIDFILE"

# A symbolic link among the parent directories is followed.
mkdir -p "$T/realrun"
ln -s "$T/realrun" "$T/linkrun"
write_conf "$T/linked.json" "$ROOT" "$T/linkrun/c.pid"
"$TRELK" "$T/linked.json" /bin/sleep 100 &
launcher=$!
if wait_for "$T/realrun/c.pid"; then
    pass "pid file written below a linked directory"
    kill -KILL "$(cat "$T/realrun/c.pid")"
else
    fail "no pid file below a linked directory"
fi
wait $launcher
expect "pid file below a linked directory removed" no "$([ -e "$T/realrun/c.pid" ] && echo yes || echo no)"

# Hostile configuration files are refused before anything starts.
head='"bind_dirs": {}, "pidfile": "'$PIDFILE'"'
net='"name": "e", "link": "", "gateway": "10.0.0.1"'
printf '%*s' 30000 '' | tr ' ' '[' >"$T/deep.json"
{ printf '{%s, "target": "%s", "x": [' "$head" "$ROOT"; head -c 1100000 /dev/zero | tr '\0' ' '; printf ']}'; } \
    >"$T/big.json"
printf '{%s, "target": "%s\\u0000x"}' "$head" "$ROOT" >"$T/nul.json"
printf '{%s, "target": "%s", "net": {%s, "ipv4": "10.0.0.2/257"}}' "$head" "$ROOT" "$net" >"$T/p257.json"
printf '{%s, "target": "%s", "net": {%s, "ipv4": "10.0.0.2/24x"}}' "$head" "$ROOT" "$net" >"$T/p24x.json"
before=$(ls -A "$ROOT/tmp")
while read -r file why; do
    "$TRELK" "$T/$file" /bin/sh -c 'touch /tmp/ran' 2>"$T/err"
    expect "$file is refused" 1 $?
    expect_in "$file: the refusal says why" "$why" "$T/err"
    expect "$file: nothing started" "$before" "$(ls -A "$ROOT/tmp"; ls "$PIDFILE" 2>/dev/null)"
done <<'CASES'
deep.json nesting deeper than 256 levels
big.json larger than 1048576 bytes
nul.json member 'target' contains a NUL character
p257.json Invalid prefix length in '10.0.0.2/257'
p24x.json Invalid prefix length in '10.0.0.2/24x'
CASES

finish

# Command line, exit status and pid file of the launcher.
. "$(dirname "$0")/lib.sh"

PIDFILE=$T/run/sub/c.pid
make_root "$ROOT"
write_conf "$CONF" "$ROOT" "$PIDFILE"

# Usage without COMMAND; CONF is not even read.
for args in "$T/none.json" ""; do
    run $args && expect "usage, arguments '$args'" "1:Usage: $TRELK CONF COMMAND" "$rc:$(cat "$T/err")"
done

# COMMAND's status, arguments and place; ENOENT when it cannot be executed.
while IFS='|' read -r want script; do
    run "$CONF" /bin/sh -c "$script" x "a  b" c
    expect "$script" "$want" "$rc:$out"
done <<'CASES'
0:|true
7:|exit 7
0:2:a  b:c|echo "$#:$1:$2"
0:1|echo $$
CASES
run "$CONF" /no/such/cmd arg
# errno values differ between architectures: take them from the machine
expect "missing COMMAND exits with ENOENT" "$(python3 -c 'import errno; print(errno.ENOENT)')" "$rc"

# The pid file: the child's pid, no newline, 0640, parents made (also through a
# linked directory); it replaces a longer file or a link (never writing through
# it) and goes with the container, unless another launcher has replaced it since.
echo precious >"$T/victim"
for before in none older link linked-dir other; do
    mkdir -p "$T/real/sub"
    case $before in
    none) rmdir "$T/real/sub" ;;
    older) printf '999999999 from an older run' >"$T/real/sub/c.pid" ;;
    link) ln -s "$T/victim" "$T/real/sub/c.pid" ;;
    esac
    [ "$before" = linked-dir ] && ln -s "$T/real" "$T/run" || mv "$T/real" "$T/run"
    with_umask0 start "$CONF" /bin/sleep 100
    expect "$before: pid file" "$pid:${#pid}:640:regular file" "$(cat "$PIDFILE"):$(stat -c %s:%a:%F "$PIDFILE")"
    expect "$before: it names the launcher's child, pid 1 of its namespace" "$launcher 1" \
        "$(awk '/^PPid:/ {p = $2} /^NSpid:/ {n = $NF} END {print p, n}' "/proc/$pid/status")"
    [ "$before" != other ] || { printf 424242 >"$T/run/sub/new" && mv -f "$T/run/sub/new" "$PIDFILE"; }
    kill -KILL "$pid"; reap
    expect "$before: killed COMMAND" "1:precious:$([ "$before" = other ] && echo 424242)" \
        "$rc:$(cat "$T/victim"):$(cat "$T/real/sub/c.pid" "$T/run/sub/c.pid" 2>/dev/null | sort -u)"
    rm -rf "$T/run" "$T/real"
done

# Hostile configuration files are refused before anything starts.
printf '%*s' 30000 '' | tr ' ' '[' >"$T/deep.json"
printf '{"bind_dirs": {}, "pidfile": "%s", "target": "%s\\u0000x"}' "$PIDFILE" "$ROOT" >"$T/nul.json"
for file in deep.json nul.json; do
    run "$T/$file" /bin/sh -c 'touch /tmp/ran'
    expect "$file is refused, nothing started" "1:" "$rc:$(find "$ROOT/tmp" "$T/run" -mindepth 1 2>/dev/null)"
done

finish

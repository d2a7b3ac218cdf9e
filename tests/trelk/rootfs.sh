# The container's root: pivot_root, bind directories, host name, groups.
. "$(dirname "$0")/lib.sh"

ROOT=$T/root
CONF=$T/conf.json
PIDFILE=$T/c.pid
make_root "$ROOT"
touch "$T/outside-marker"

# Own UTS namespace: renaming inside leaves the outside name alone.
outer=$(hostname)
write_conf "$CONF" "$ROOT" "$PIDFILE"
expect "host name set inside" inner-name "$("$TRELK" "$CONF" /bin/sh -c 'hostname inner-name; hostname')"
expect "host name outside unchanged" "$outer" "$(hostname)"

# Only the new root is visible; the old one is gone without a trace.
expect "root listing is the target's" "$(ls -a "$ROOT")" "$("$TRELK" "$CONF" /bin/ls -a /)"
expect "host files unreachable" gone \
    "$("$TRELK" "$CONF" /bin/sh -c "test -e '$T/outside-marker' && echo reachable || echo gone")"
expect "no .pivotroot directory inside" "" "$("$TRELK" "$CONF" /bin/ls -A /tmp)"
expect "no .pivotroot directory left in the target" "" "$(ls -A "$ROOT/tmp")"

# A target given with a trailing slash works the same.
write_conf "$CONF" "$ROOT/" "$PIDFILE"
"$TRELK" "$CONF" /bin/true
expect "target with trailing slash" 0 $?
expect "no .pivotroot directory left (trailing slash)" "" "$(ls -A "$ROOT/tmp")"

# Bind directories: missing and non-directory sources skipped, nested
# destinations created 0750, and mounted in byte-wise order of the sources:
# srcB (0x42) before srca (0x61), so srca's content ends on top.
mkdir -p "$T/data" "$T/srcB" "$T/srca"
echo payload >"$T/data/file.txt"
echo B >"$T/srcB/which"
echo a >"$T/srca/which"
touch "$T/plainfile"
binds="\"$T/srca\": \"/shared\", \"$T/data\": \"/mnt/deep/er\", \"$T/srcB\": \"/shared\",
       \"$T/missing\": \"/missing\", \"$T/plainfile\": \"/plain\""
write_conf "$CONF" "$ROOT" "$PIDFILE" "$binds"
rm -rf "$ROOT/mnt" "$ROOT/shared"
out=$(umask 0; "$TRELK" "$CONF" /bin/sh -c 'cat /mnt/deep/er/file.txt /shared/which; ls /')
expect "bind directories mounted in byte-wise source order" "payload a bin mnt shared tmp" "$(echo $out)"
expect "nested destination mode" 750 "$(stat -c %a "$ROOT/mnt/deep/er")"
expect "nested destination parent mode" 750 "$(stat -c %a "$ROOT/mnt/deep")"
expect "skipped sources leave no destination" no "$([ -e "$ROOT/missing" ] || [ -e "$ROOT/plain" ] && echo yes || echo no)"

# Seen from outside, the container holds just its root and the binds.
"$TRELK" "$CONF" /bin/sleep 100 &
launcher=$!
if wait_for "$PIDFILE"; then
    pid=$(cat "$PIDFILE")
    for i in $(seq 500); do
        grep -q ' /shared ' "/proc/$pid/mountinfo" 2>/dev/null && break
        sleep 0.01
    done
    expect "container mounts: root and three binds" "/ /mnt/deep/er /shared /shared" \
        "$(echo $(awk '{print $5}' "/proc/$pid/mountinfo" | sort))"
    kill -KILL "$pid"
else
    fail "pid file never appeared"
fi
wait $launcher

# A target without tmp/ is refused.
mkdir -p "$T/notmp/bin"
write_conf "$CONF" "$T/notmp" "$PIDFILE"
"$TRELK" "$CONF" /bin/true 2>"$T/err"
expect "target without tmp exits 1" 1 $?
expect_in "target without tmp is reported" \
    "Failed to create temporary directory for pivot root: errno=$ENOENT, No such file or directory" "$T/err"

# Supplementary groups are dropped; user and group ids stay.
write_conf "$CONF" "$ROOT" "$PIDFILE"
expect "test runs with supplementary groups" "0 4 5" "$(setpriv --groups 4,5 -- id -G)"
expect "no supplementary groups inside" "0:0:0" \
    "$(setpriv --groups 4,5 -- "$TRELK" "$CONF" /bin/sh -c 'echo "$(id -G):$(id -u):$(id -g)"')"

# Bind destinations stay inside the target: ".." and a symbolic link to a host
# path are refused, and so is a destination with a file in the way. None of
# them creates anything outside the target or runs COMMAND.
mkdir -p "$T/src"
ln -s "$T/escaped" "$ROOT/esc"
touch "$ROOT/blocker"
for dest in /../outside /esc/sub /blocker/x; do
    write_conf "$CONF" "$ROOT" "$PIDFILE" "\"$T/src\": \"$dest\""
    "$TRELK" "$CONF" /bin/sh -c 'touch /tmp/ran' 2>"$T/err"
    expect "destination $dest is refused" 1 $?
    expect_in "destination $dest is named" "$dest'" "$T/err"
    expect "destination $dest: nothing outside, no COMMAND" "" \
        "$(ls -d "$T/outside" "$T/escaped" "$ROOT/tmp/ran" 2>/dev/null)"
done
rm -f "$ROOT/esc" "$ROOT/blocker"

finish

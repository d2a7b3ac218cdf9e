# The container's root: pivot_root, bind directories, host name, groups.
. "$(dirname "$0")/lib.sh"

make_root "$ROOT"
touch "$T/outside-marker"
mkdir -p "$T/data" "$T/srcB" "$T/srca" "$T/src/tmp"
echo payload >"$T/data/file.txt" && echo B >"$T/srcB/which" && echo a >"$T/srca/which" && touch "$T/plainfile"
outer=$(hostname)

# Only the new root is visible, in a UTS namespace of its own; the old root is
# gone without a trace, also for a target given with a trailing slash.
for target in "$ROOT" "$ROOT/"; do
    write_conf "$CONF" "$target" "$PIDFILE"
    check "$target: host name, root, host files, put-old directory inside" "inner-name $(echo $(ls -a "$ROOT")) gone" \
        /bin/sh -c "hostname inner-name; echo \$(hostname) \$(ls -a /) \$(test -e '$T/outside-marker' || echo gone) \$(ls -A /tmp)"
    expect "$target: host name outside unchanged, no put-old directory left" "$outer:" "$(hostname):$(ls -A "$ROOT/tmp")"
done

# Supplementary groups are dropped; user and group ids stay.
expect "supplementary groups outside" "0 4 5" "$(setpriv --groups 4,5 -- id -G)"
start_with="setpriv --groups 4,5 --" run "$CONF" /bin/sh -c 'echo "$(id -G):$(id -u):$(id -g)"'
expect "no supplementary groups inside" "0:0:0:0" "$rc:$out"

# Bind directories: missing and non-directory sources skipped, nested destinations
# made 0750, mounted in byte order of the sources (srcB before srca: a on top).
write_conf "$CONF" "$ROOT" "$PIDFILE" "\"$T/srca\": \"/shared\", \"$T/data\": \"/mnt/deep/er\",
    \"$T/srcB\": \"/shared\", \"$T/missing\": \"/missing\", \"$T/plainfile\": \"/plain\""
with_umask0 check "bind directories" "payload a bin mnt shared tmp" /bin/sh -c 'echo $(cat /mnt/deep/er/file.txt /shared/which; ls /)'
expect "nested destinations made 0750" "750 750" "$(stat -c %a "$ROOT/mnt/deep" "$ROOT/mnt/deep/er" | xargs)"
start "$CONF" /bin/sleep 100
expect "container mounts: root and three binds" "/ /mnt/deep/er /shared /shared" \
    "$(awk '{print $5}' "/proc/$pid/mountinfo" | sort | xargs)"
kill -KILL "$pid"; reap

# A target without tmp, or whose tmp links to a host directory, is refused; nothing changes there.
mkdir -p "$T/notmp/bin" "$T/linked/bin" "$T/host-tmp" && ln -s "$T/host-tmp" "$T/linked/tmp" && touch -d @0 "$T/host-tmp"
for target in notmp linked; do
    write_conf "$CONF" "$T/$target" "$PIDFILE" && run "$CONF" /bin/true
    expect "target $target is refused, the host directory untouched" "1:0" "$rc:$(stat -c %Y "$T/host-tmp")"
done

# Bind destinations stay below the target's root: "..", a link to a host path, the
# root itself and a file in the way are refused, creating nothing outside, running nothing.
ln -s "$T/escaped" "$ROOT/esc"
touch "$ROOT/blocker"
for dest in /../outside /esc/sub /blocker/x / .; do
    write_conf "$CONF" "$ROOT" "$PIDFILE" "\"$T/src\": \"$dest\""
    run "$CONF" /bin/sh -c 'touch /tmp/ran'
    expect "destination $dest is refused" "1:" "$rc:$(ls -d "$T/outside" "$T/escaped" "$ROOT/tmp/ran" 2>/dev/null)"
done

finish

#!/bin/sh
# /init of the emulated target machine (mips64el-kernel.sh): runs the launcher's
# checks on the real kernel and prints "ok - ..." or "not ok - ..." for each, then
# the verdict "trelk-checks: N passed, M failed", and powers off.
#
# pivot_root(2) refuses the initramfs itself (the root is rootfs), so the first
# stage copies the initramfs into a tmpfs and makes that the root.
PATH=/bin
export PATH
if [ "$1" != stage2 ]; then
	/bin/busybox --install -s /bin
	mkdir /newroot
	mount -t tmpfs -o mode=0755 newroot /newroot
	for d in /*; do
		case $d in /newroot | /proc | /sys) ;; *) cp -a "$d" /newroot/ ;; esac
	done
	mkdir -p /newroot/proc /newroot/sys
	exec switch_root /newroot /init stage2
fi

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec >/dev/console 2>&1 </dev/null
uptime_s() { cut -d' ' -f1 /proc/uptime; }
echo "T start $(uptime_s)"
while read -r m; do insmod "/lib/modules/$m" || echo "# insmod $m failed"; done </lib/modules/order
# The launcher names its veth pair with getrandom(), which blocks until the
# kernel's random pool is ready: wait for it here rather than inside a check.
i=0
while ! dmesg | grep -q 'crng init done' && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
echo "T ready $(uptime_s)"
hostname target

TRELK=/usr/bin/trelk
C=/c
ROOT=$C/root
SHARED=$C/shared
PIDFILE=$C/run/sub/trelk.pid
passed=0
failed=0
pass() { echo "ok - $1"; passed=$((passed + 1)); }
fail() { echo "not ok - $1"; failed=$((failed + 1)); }
expect() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi; }
yesno() { if "$@"; then echo yes; else echo no; fi; }
# wait_for FILE: true once FILE exists (10 s at most)
wait_for() {
	j=0
	while [ ! -e "$1" ] && [ $j -lt 100 ]; do sleep 0.1; j=$((j + 1)); done
	[ -e "$1" ]
}
# gone PID: the process has ended (10 s at most)
gone() {
	j=0
	while [ -e "/proc/$1" ] && [ $j -lt 100 ]; do sleep 0.1; j=$((j + 1)); done
	[ ! -e "/proc/$1" ]
}
# conf FILE [NET]: a configuration with the root, the pid file, the shared folder
conf() {
	printf '{"target": "%s", "pidfile": "%s", "bind_dirs": {"%s": "/shared", "%s": "/file-is-skipped"}%s}\n' \
		"$ROOT" "$PIDFILE" "$SHARED" "$C/a-file" "${2:-}" >"$1"
}

mkdir -p "$ROOT/bin" "$ROOT/tmp" "$SHARED"
cp /bin/busybox "$ROOT/bin/busybox"
for a in sh true sleep echo cat hostname ip ping touch test; do ln -s busybox "$ROOT/bin/$a"; done
echo content >"$C/a-file"
conf "$C/plain.json"

# Exit status, pid 1, a command that cannot start.
"$TRELK" "$C/plain.json" /bin/true
expect "a command exiting 0" 0 $?
"$TRELK" "$C/plain.json" /bin/sh -c 'exit 7'
expect "a command exiting 7" 7 $?
expect "the command is pid 1 of its namespace" 1 "$("$TRELK" "$C/plain.json" /bin/sh -c 'echo $$')"
"$TRELK" "$C/plain.json" /no/such/command 2>"$C/err"
rc=$?
n=$(sed -n 's/.*errno=\([0-9]*\),.*/\1/p' "$C/err")
expect "a missing command exits with the exec error number" "$n" "$rc"
expect "that error is 'No such file or directory'" yes "$(yesno grep -q 'No such file or directory' "$C/err")"

# Host name and root.
expect "the host name is set inside" inner "$("$TRELK" "$C/plain.json" /bin/sh -c 'hostname inner; hostname')"
expect "the host name outside stays" target "$(hostname)"
expect "the root is the configured one" yes "$(yesno "$TRELK" "$C/plain.json" /bin/test -x /bin/busybox -a ! -e /c)"

# Bind mounts both ways; a source that is not a directory is skipped.
echo from-host >"$SHARED/in"
"$TRELK" "$C/plain.json" /bin/sh -c 'cat /shared/in >/shared/out; test -e /file-is-skipped && echo bound >>/shared/out'
expect "a bind directory is shared both ways" from-host "$(cat "$SHARED/out" 2>&1)"
expect "a missing destination is made with mode 0750" 750 "$(stat -c %a "$ROOT/shared")"

# The pid file while the container runs, and SIGTERM.
"$TRELK" "$C/plain.json" /bin/sleep 1000 &
launcher=$!
if wait_for "$PIDFILE"; then
	pid=$(cat "$PIDFILE")
	expect "the pid file holds a decimal pid without newline" "${#pid}" "$(stat -c %s "$PIDFILE")"
	expect "the pid file has mode 0640" 640 "$(stat -c %a "$PIDFILE")"
	expect "the pid file names the launcher's child" "$launcher" "$(awk '/^PPid:/ { print $2 }' "/proc/$pid/status")"
	expect "that child is pid 1 of its namespace" 1 "$(awk '/^NSpid:/ { print $NF }' "/proc/$pid/status")"
	kill -TERM "$launcher"
	wait "$launcher"
	expect "SIGTERM ends the launcher with 1" 1 $?
	expect "SIGTERM ends the container" yes "$(yesno gone "$pid")"
	expect "SIGTERM removes the pid file" no "$(yesno test -e "$PIDFILE")"
else
	fail "the pid file never appeared"
	kill -KILL "$launcher"
fi

# SIGHUP is passed on and the container keeps running.
rm -f "$SHARED/ready" "$SHARED/hup"
"$TRELK" "$C/plain.json" /bin/sh -c \
	'trap "echo hup >/shared/hup" HUP; touch /shared/ready; while :; do sleep 0.1; done' &
launcher=$!
if wait_for "$SHARED/ready"; then
	kill -HUP "$launcher"
	expect "SIGHUP reaches the command" yes "$(yesno wait_for "$SHARED/hup")"
	expect "the launcher survives SIGHUP" yes "$(yesno kill -0 "$launcher")"
else
	fail "the SIGHUP container did not start"
fi
kill -TERM "$launcher"
wait "$launcher"
expect "SIGTERM after SIGHUP ends the launcher with 1" 1 $?

# A veth device on a bridge: address, route, a ping to the bridge.
ip link add br0 type bridge && ip addr add 10.99.0.1/24 dev br0 && ip link set br0 up
conf "$C/net.json" ', "net": {"name": "eth0", "link": "br0", "ipv4": "10.99.0.2/24", "gateway": "10.99.0.1"}'
rm -f "$SHARED"/net-*
"$TRELK" "$C/net.json" /bin/sh -c '
	ip -o -4 addr show dev eth0 >/shared/net-addr
	ip route >/shared/net-route
	ping -c 1 -W 10 10.99.0.1 >/shared/net-ping 2>&1 && echo pinged >>/shared/net-ping
	touch /shared/net-ready
	while [ ! -e /shared/net-stop ]; do sleep 0.1; done' &
launcher=$!
if wait_for "$SHARED/net-ready"; then
	ports=$(ls /sys/class/net/br0/brif)
	expect "one veth port on the bridge, named vethXXXXXX" yes \
		"$(yesno sh -c "echo '$ports' | grep -qxE 'veth[0-9A-Z]{6}'")"
	expect "the device has its address" yes "$(yesno grep -q 'eth0.*inet 10.99.0.2/24' "$SHARED/net-addr")"
	expect "the default route goes through the gateway" yes \
		"$(yesno grep -q 'default via 10.99.0.1 dev eth0' "$SHARED/net-route")"
	expect "the container pings the bridge" yes "$(yesno grep -qx pinged "$SHARED/net-ping")"
	touch "$SHARED/net-stop"
	wait "$launcher"
	expect "the network container exits 0" 0 $?
	# the kernel dismantles the container's network namespace, and with it the
	# pair, in a worker after the last process has gone
	j=0
	while [ -n "$(ls /sys/class/net/br0/brif)" ] && [ $j -lt 100 ]; do sleep 0.1; j=$((j + 1)); done
	expect "the veth pair is gone afterwards" "" "$(ls /sys/class/net/br0/brif)"
else
	fail "the network container did not come up"
	kill -TERM "$launcher"
fi

echo "T done $(uptime_s)"
echo "trelk-checks: $passed passed, $failed failed"
sync
poweroff -f

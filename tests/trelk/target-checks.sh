#!/bin/sh
# /init of the emulated target (mips64el-kernel.sh): the launcher's checks, then the
# verdict "trelk-checks: N passed, M failed". pivot_root(2) refuses the initramfs
# (rootfs), so the first stage moves it into a tmpfs.
export PATH=/bin
if [ "$1" != stage2 ]; then
	/bin/busybox --install -s /bin
	mkdir /newroot && mount -t tmpfs -o mode=0755 newroot /newroot
	for d in /*; do case $d in /newroot | /proc | /sys) ;; *) cp -a "$d" /newroot/ ;; esac; done
	mkdir -p /newroot/proc /newroot/sys
	exec switch_root /newroot /init stage2
fi
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
exec >/dev/console 2>&1 </dev/null
echo "T start $(cut -d' ' -f1 /proc/uptime)"
while read -r m; do insmod "/lib/modules/$m" || echo "# insmod $m failed"; done </lib/modules/order
# getrandom() (the veth names) blocks until the random pool is ready: wait here, not in a check.
i=0
while ! dmesg | grep -q 'crng init done' && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
echo "T ready $(cut -d' ' -f1 /proc/uptime)"
hostname target

TRELK=/usr/bin/trelk C=/c ROOT=/c/root SHARED=/c/shared PIDFILE=/c/run/sub/trelk.pid
passed=0 failed=0
expect() { if [ "$2" = "$3" ]; then passed=$((passed + 1)); else echo "not ok - $1: expected '$2', got '$3'"; failed=$((failed + 1)); fi; }
wait_for() { j=0; while [ ! -e "$1" ] && [ $j -lt 100 ]; do sleep 0.1; j=$((j + 1)); done; }
conf() {
	printf '{"target": "%s", "pidfile": "%s", "bind_dirs": {"%s": "/shared", "%s": "/file-is-skipped"}%s}\n' \
		"$ROOT" "$PIDFILE" "$SHARED" "$C/a-file" "${2:-}" >"$1"
}
mkdir -p "$ROOT/bin" "$ROOT/tmp" "$SHARED"
cp /bin/busybox "$ROOT/bin/busybox"
for a in sh true sleep echo cat hostname ip ping touch test grep; do ln -s busybox "$ROOT/bin/$a"; done
echo content >"$C/a-file" && echo from-host >"$SHARED/in"
conf "$C/plain.json"
conf "$C/net.json" ', "net": {"name": "eth0", "link": "br0", "ipv4": "10.99.0.2/24", "gateway": "10.99.0.1"}'

# Exit status, pid 1, host name, root, binds both ways (a file source skipped,
# the destination made 0750), the exec error number of a missing command.
out=$("$TRELK" "$C/plain.json" /bin/sh -c 'echo $$ $(hostname inner; hostname) $(cat /shared/in) $(test -e /c || echo own-root)
	test -e /file-is-skipped || echo back >/shared/out; exit 7')
expect "a command in the container" "7:1 inner from-host own-root:back:target:750" \
	"$?:$out:$(cat "$SHARED/out"):$(hostname):$(stat -c %a "$ROOT/shared")"
"$TRELK" "$C/plain.json" /no/such/command 2>"$C/err"
expect "a missing command exits with the exec error number" "$?" "$(sed -n 's/.*errno=\([0-9]*\), No such file or directory.*/\1/p' "$C/err")"

# The pid file while the container runs; SIGHUP passed on; SIGTERM.
"$TRELK" "$C/plain.json" /bin/sh -c 'trap "echo hup >/shared/hup" HUP; touch /shared/ready; while :; do sleep 0.1; done' & launcher=$!
wait_for "$SHARED/ready"
pid=$(cat "$PIDFILE")
expect "the pid file" "${#pid}:640:$launcher:1" \
	"$(stat -c %s:%a "$PIDFILE"):$(awk '/^PPid:/ { p = $2 } /^NSpid:/ { n = $NF } END { print p ":" n }' "/proc/$pid/status")"
kill -HUP "$launcher"
wait_for "$SHARED/hup"
expect "SIGHUP reaches the command, the launcher stays" "hup:0" "$(cat "$SHARED/hup"):$(kill -0 "$launcher"; echo $?)"
kill -TERM "$launcher"
wait "$launcher"
expect "SIGTERM" "1:gone:no" "$?:$(test -e "/proc/$pid" || echo gone):$(test -e "$PIDFILE" && echo yes || echo no)"

# A veth device on a bridge: address, route, a ping to the bridge; the pair
# goes with the container (the kernel dismantles its namespace in a worker).
ip link add br0 type bridge && ip addr add 10.99.0.1/24 dev br0 && ip link set br0 up
"$TRELK" "$C/net.json" /bin/sh -c '
	echo $(ip -o -4 addr show dev eth0 | grep -o "inet [0-9./]*") $(ip route | grep -o "default via [0-9.]* dev eth0") >/shared/net
	ping -c 1 -W 10 10.99.0.1 >/shared/ping 2>&1 && echo pinged >>/shared/net
	touch /shared/net-ready
	while [ ! -e /shared/net-stop ]; do sleep 0.1; done' & launcher=$!
wait_for "$SHARED/net-ready"
expect "one veth port on the bridge; address, default route, a ping" "veth inet 10.99.0.2/24 default via 10.99.0.1 dev eth0 pinged" \
	"$(ls /sys/class/net/br0/brif | sed -E 's/^veth[0-9A-Z]{6}$/veth/') $(echo $(cat "$SHARED/net"))"
touch "$SHARED/net-stop"
wait "$launcher"; rc=$?
j=0; while [ -n "$(ls /sys/class/net/br0/brif)" ] && [ $j -lt 100 ]; do sleep 0.1; j=$((j + 1)); done
expect "the network container exits 0, its veth pair goes" 0: "$rc:$(ls /sys/class/net/br0/brif)"

echo "T done $(cut -d' ' -f1 /proc/uptime)"
echo "trelk-checks: $passed passed, $failed failed" && sync && poweroff -f

#!/bin/sh
# /init of the guest in kernel-client.sh: the Linux kernel's NFSv3 client mounts the
# exports named on the kernel command line, walks them and tries to write to them.
# Results go to the second serial port, one record a line (fields separated by tabs):
#   T STAGE UPTIME                      time of a stage
#   M EXPORT ok|failed MESSAGE          mount
#   E EXPORT MODE SIZE MTIME FILEID DATA PATH
#                                       an entry: mode in octal, size (- for
#                                       directories), DATA the MD5 of a file or the
#                                       target of a link
#   W EXPORT OP refused|ALLOWED|untried MESSAGE
#                                       a write
#   END                                 the guest got through
# Parameters: qor.server=ADDR qor.mountport=PORT qor.exports=EXP[:OPTS],...
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec 3>/dev/ttyS1
tab=$(printf '\t')
stage() { echo "T $1 $(cut -d' ' -f1 /proc/uptime)" >&3; }
stage init

server= mountport= exports=
for w in $(cat /proc/cmdline); do
	case $w in
	qor.server=*) server=${w#*=} ;;
	qor.mountport=*) mountport=${w#*=} ;;
	qor.exports=*) exports=${w#*=} ;;
	esac
done

while read -r m; do insmod "/lib/modules/$m" || echo "insmod $m failed" >&3; done </lib/modules/order
ip link set lo up
ip addr add 10.0.2.15/24 dev eth0
ip link set eth0 up
ip route add default via 10.0.2.2
stage network

walk() {
	find . | sort | while IFS= read -r p; do
		set -- $(stat -c '%f %s %Y %i' "$p")
		mode=$(printf '%o' $((0x$1))) size=$2 data=-
		if [ -L "$p" ]; then
			data=$(readlink "$p")
		elif [ -d "$p" ]; then
			size=-
		elif [ -f "$p" ]; then
			data=$(md5sum <"$p" | cut -d' ' -f1) || data=unreadable
		fi
		echo "E$tab$e$tab$mode$tab$size$tab$3$tab$4$tab$data$tab$p"
	done
}

# try OP COMMAND...: the command must fail on a read-only export
try() {
	op=$1
	shift
	verdict=refused
	msg=$("$@" 2>&1) && verdict=ALLOWED
	echo "W$tab$e$tab$op$tab$verdict$tab$(echo "$msg" | tr '\n\t' '  ')"
}

writes() {
	# a file its mode lets the owner write, and an empty directory: only the
	# server can be what refuses them
	f=$(find . -type f -perm -200 | sort | head -n 1)
	d=$(find . -mindepth 1 -type d | sort | while read -r x; do
		[ -z "$(ls -A "$x")" ] && echo "$x" && break
	done)
	if [ -z "$f" ] || [ -z "$d" ]; then
		echo "W$tab$e${tab}all${tab}untried${tab}no writable file or empty directory"
		return
	fi
	try create sh -c ': >new-file'
	try mkdir mkdir new-dir
	try symlink ln -s target new-link
	try hardlink ln "$f" new-hardlink
	try append sh -c 'echo more >>"$1"' sh "$f"
	try truncate truncate -s 0 "$f"
	try chmod chmod 000 "$f"
	try touch touch -d '2000-01-01 00:00:00' "$f"
	try rename mv "$f" renamed
	try remove rm -f "$f"
	try rmdir rmdir "$d"
}

for x in $(echo "$exports" | tr ',' ' '); do
	e=${x%%:*} opts=
	[ "$e" = "$x" ] || opts=,${x#*:}
	mkdir -p "/mnt/$e"
	o=vers=3,proto=tcp,nolock,addr=$server,port=2049,mountproto=tcp,mountport=$mountport$opts
	if msg=$(mount -t nfs -o "$o" "$server:/$e" "/mnt/$e" 2>&1); then
		echo "M$tab$e${tab}ok" >&3
		stage "mount-$e"
		(cd "/mnt/$e" && walk) >&3
		stage "walk-$e"
		(cd "/mnt/$e" && writes) >&3
		umount "/mnt/$e" || echo "M$tab$e${tab}failed${tab}umount" >&3
	else
		echo "M$tab$e${tab}failed$tab$msg" >&3
	fi
done
echo END >&3
exec 3>&-
sync
poweroff -f

#!/bin/sh
# /init of the kernel client's guest: mounts, walks and writes to QOR_EXPORTS=EXP[:OPTS],...
# Records to ttyS1: M EXP failed MSG, E EXP MODE SIZE MTIME FILEID MD5|TARGET PATH,
# W EXP OP refused|ALLOWED|untried, END. "walk EXP" gives the host's side.
tab=$(printf '\t')

walk() {
	find . | while IFS= read -r p; do
		set -- $(stat -c '%f %s %Y %i' "$p")
		mode=$(printf '%o' $((0x$1))) size=$2 data=-
		if [ -L "$p" ]; then data=$(readlink "$p")
		elif [ -d "$p" ]; then size=-
		elif [ -f "$p" ]; then data=$(md5sum <"$p" | cut -d' ' -f1) || data=unreadable; fi
		echo "E$tab$e$tab$mode$tab$size$tab$3$tab$4$tab$data$tab$p"
	done
}
if [ "${1:-}" = walk ]; then e=$2; walk; exit; fi

try() { op=$1; shift; if "$@" >/dev/null 2>&1; then v=ALLOWED; else v=refused; fi; echo "W$tab$e$tab$op$tab$v"; }

# on a file its mode lets the owner write and an empty folder only the server can refuse
writes() {
	f=$(find . -type f -perm -200 | sort | head -n 1)
	d=$(find . -mindepth 1 -type d -empty | sort | head -n 1)
	[ -n "$f" ] && [ -n "$d" ] || { echo "W$tab$e${tab}all${tab}untried"; return; }
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

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
exec 3>/dev/ttyS1
while read -r m; do insmod "/lib/modules/$m" || echo "insmod $m failed" >&3; done </lib/modules/order
ip addr add 10.0.2.15/24 dev eth0
ip link set eth0 up
ip route add default via 10.0.2.2
for x in $(echo "$QOR_EXPORTS" | tr ',' ' '); do
	e=${x%%:*} opts=
	[ "$e" = "$x" ] || opts=,${x#*:}
	mkdir -p "/mnt/$e"
	o=vers=3,proto=tcp,nolock,addr=$QOR_SERVER,port=2049,mountproto=tcp,mountport=$QOR_MOUNTPORT$opts
	msg=$(mount -t nfs -o "$o" "$QOR_SERVER:/$e" "/mnt/$e" 2>&1) && (cd "/mnt/$e" && walk && writes) >&3 &&
		umount "/mnt/$e" || echo "M$tab$e${tab}failed$tab$msg" >&3
done
echo END >&3
exec 3>&-
poweroff -f

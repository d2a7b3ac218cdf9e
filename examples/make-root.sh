#!/bin/sh
# Lays out a container root for the NFS server: empty mount points for the
# directories that trelk binds in, the merged-/usr links, and the few files of /etc
# that the server, rpcbind and the dynamic linker read.
# usage: make-root.sh TARGET
set -eu
target=${1:?usage: make-root.sh TARGET}

mkdir -p "$target"
cd "$target"
mkdir -p dev tmp proc run usr etc etc/qor var/lib/nfs srv/qor/conf srv/qor/media var/log/qor
chmod 1777 tmp
for l in bin sbin lib lib64; do
  [ -e "/$l" ] || continue
  [ -L "$l" ] || ln -s "usr/$l" "$l"
done
[ -L var/run ] || ln -s ../run var/run

for f in ld.so.cache passwd group nsswitch.conf netconfig hosts protocols services \
         gai.conf host.conf localtime; do
  [ -e "/etc/$f" ] && cp -L "/etc/$f" "etc/$f"
done
# The container resolves only itself.
printf '127.0.0.1\tlocalhost\n' > etc/hosts
[ -L etc/mtab ] || ln -s ../proc/self/mounts etc/mtab

#!/bin/sh
# The container's first process: starts rpcbind, then becomes the NFS server.
# usage: container-entry.sh [GANESHA_CONF [LOG_FILE]]
# LOG_FILE STDERR (the default) hands the server's log to whoever reads the
# launcher's standard error: the journal, under qor-appliance.service.
set -eu
conf=${1:-/etc/qor/ganesha.conf}
log=${2:-STDERR}

# Nothing is mounted in a fresh container root; the server and rpcbind want a
# private /proc (the container has its own PID namespace) and a writable /run.
mount -t proc proc /proc
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/ganesha /run/rpcbind

rpcbind -w -f &
# rpcbind must be listening before the server registers its programs.
i=0
while [ ! -S /run/rpcbind.sock ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done

exec ganesha.nfsd -F -f "$conf" -L "$log" -p /run/ganesha/ganesha.pid

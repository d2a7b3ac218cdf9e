#!/usr/bin/env bash
# The product demo: builds everything, then launches a command in a container
# made from a sample busybox root and shows its exit status and pid file. When
# the appliance demo is present it runs next. Everything runs in throwaway
# namespaces; nothing is left on the machine.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" != --launcher ]; then
  "$top/scripts/install-deps.sh"
  build=${BUILD_DIR:-$top/build}
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
  unshare --pid --fork --mount-proc --uts --ipc "$0" --launcher "$build/trelk/trelk"
  if [ -f "$top/scripts/demo-appliance.sh" ]; then
    TRELK=$build/trelk/trelk FSAL_DIR=$build/fsalqor MKMEDIUM=$top/qor/qor-mkmedium \
      EXAMPLES=$top/examples "$top/tests/e2e/sandbox.sh" "$top/scripts/demo-appliance.sh"
  fi
  exit 0
fi

# From here: pid 1 of a fresh PID namespace, in a private mount namespace.
trelk=$2
W=$(mktemp -d /tmp/trelk-demo.XXXXXX)
trap 'rm -rf --one-file-system "$W"' EXIT
step() { printf '\n== %s\n' "$*"; }

step "A sample root: busybox in $W/root, a host directory $W/share to bind in"
mkdir -p "$W/root/bin" "$W/root/tmp" "$W/share"
cp /bin/busybox "$W/root/bin/"
for applet in sh ls cat hostname sleep id; do ln -s busybox "$W/root/bin/$applet"; done
echo "hello from the host" >"$W/share/hello.txt"
cat >"$W/trelk.json" <<JSON
{
  "bind_dirs": { "$W/share": "/srv/share" },
  "target": "$W/root",
  "pidfile": "$W/run/trelk.pid"
}
JSON
cat "$W/trelk.json"

step "trelk $W/trelk.json /bin/sh -c '...; exit 3'"
"$trelk" "$W/trelk.json" /bin/sh -c '
  hostname demo-container
  echo "   inside: pid $$, host name $(hostname), groups $(id -G)"
  echo "   inside: / holds:" $(ls /)
  echo "   inside: /srv/share/hello.txt says: $(cat /srv/share/hello.txt)"
  sleep 1
  exit 3' &
launcher=$!
for _ in $(seq 200); do [ -s "$W/run/trelk.pid" ] && break; sleep 0.02; done
pid=$(cat "$W/run/trelk.pid")
echo "   pid file $W/run/trelk.pid: '$pid' (mode $(stat -c %a "$W/run/trelk.pid")), the container's first process"
echo "   outside: host name still $(hostname)"
status=0
wait $launcher || status=$?

step "Result"
echo "   trelk exited with status $status (COMMAND's exit status)"
echo "   pid file removed: $([ -e "$W/run/trelk.pid" ] && echo no || echo yes)"

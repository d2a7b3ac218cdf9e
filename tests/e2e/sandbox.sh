#!/usr/bin/env bash
# sandbox.sh SCRIPT [ARGS...]: runs a test in new PID, mount and network namespaces,
# where whatever it starts, mounts or makes on the network ends with it
exec unshare --pid --fork --mount-proc --net --mount --propagation private bash "$@"

#!/usr/bin/env bash
# sandbox.sh SCRIPT [ARGS...]: what the test starts, mounts or makes ends with its namespaces
exec unshare --pid --fork --mount-proc --net --mount --propagation private bash "$@"

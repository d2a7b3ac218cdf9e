#!/usr/bin/env bash
# Runs a test script in new PID, mount and network namespaces: whatever the test
# starts, mounts or creates on the network ends with it, and a pid-file bug can only
# signal processes of the test.
# usage: sandbox.sh SCRIPT [ARGS...]
set -euo pipefail
exec unshare --pid --fork --mount-proc --net --mount --propagation private bash "$@"

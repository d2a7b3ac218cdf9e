// Removal of a container left running by an earlier launcher.
#pragma once

#include "kolt/auto_handle.h"
#include "support/auto_closer.h"

// Ends the process whose id the pid file at `path` names, provided it is the
// container of the root directory `root`: the first process of a PID namespace
// below ours whose root directory is `root`. Anything else the file may name
// (another container, a reused pid, text, 0, 1, a negative number) makes the
// file stale, and nothing is signalled.
// 0 when there is none to end (also for an absent or stale file); 0 with
// `ended` holding a descriptor that becomes readable once the process, sent
// SIGKILL, has ended; -1 with errno set otherwise.
int kill_legacy_process(const char *path, const char *root, Auto_Closer<int, Auto_Handle_Trait> &ended);

// Removal of a container left running by an earlier launcher.
#pragma once

// Ends the process whose id the pid file at `path` names, provided it is still
// the first process of a PID namespace below ours; anything else the file may
// name (a reused pid, text, 0, 1, a negative number) makes the file stale.
// 0 when no such process remains (also for an absent or stale file);
// -1 with errno set otherwise (ETIMEDOUT when it would not end in time).
int kill_legacy_process(const char *path);

// Removal of a container left running by an earlier launcher.
#pragma once

// Ends the process whose id the pid file at `path` names, provided it is the
// container of the root directory `root`: the first process of a PID namespace
// below ours whose root directory is `root`. Anything else the file may name
// (another container, a reused pid, text, 0, 1, a negative number) makes the
// file stale, and nothing is signalled.
// 0 when no such process remains (also for an absent or stale file);
// -1 with errno set otherwise (ETIMEDOUT when it would not end in time).
int kill_legacy_process(const char *path, const char *root);

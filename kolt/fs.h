// File system helpers: recursive directory creation.
#pragma once

#include <functional>

// Creates `path` and its missing parents with `mode` (before umask). `created`,
// when set, is called with each directory made and may veto by returning false.
// 0 on success, an existing directory included; -1 with errno otherwise.
int mkdir_p(const char *path, unsigned mode, const std::function<bool(const char *)> &created);

// File system helpers: recursive directory creation, fresh names.
#pragma once

#include <functional>
#include <string>

// Creates `path` and its missing parents with `mode` (before umask). `created`,
// when set, is called with each directory made and may veto by returning false.
// 0 on success, an existing directory included; -1 with errno otherwise.
int mkdir_p(const char *path, unsigned mode, const std::function<bool(const char *)> &created);

// Creates a fresh entry in the directory `dir`: `name_template` with its
// trailing X characters replaced by random letters and digits, as mkdtemp
// does. `make(dir, name)` creates it (mkdirat, or openat with O_CREAT | O_EXCL)
// and fails with EEXIST for a name taken, which is then drawn again.
// make's result with the name in `name`, or -1 with errno set.
int make_unique_at(int dir, const std::string &name_template, std::string &name,
                   const std::function<int(int, const char *)> &make);

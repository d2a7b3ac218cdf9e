#include "kolt/fs.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

#include "kolt/rand.h"

namespace {

bool is_dir(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int make_one(const std::string &dir, unsigned mode, const std::function<bool(const char *)> &created)
{
    if (::mkdir(dir.c_str(), mode) != 0) {
        // Lost a race with another creator, or it was there all along.
        if (errno == EEXIST && is_dir(dir))
            return 0;
        if (errno == EEXIST)
            errno = ENOTDIR;
        return -1;
    }
    if (created && !created(dir.c_str())) {
        if (errno == 0)
            errno = ECANCELED;
        return -1;
    }
    return 0;
}

}  // namespace

int mkdir_p(const char *path, unsigned mode, const std::function<bool(const char *)> &created)
{
    const std::string full(path);
    if (full.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (is_dir(full))
        return 0;
    for (size_t pos = full.find_first_not_of('/'); pos != std::string::npos;) {
        size_t end = full.find('/', pos);
        std::string prefix = full.substr(0, end);
        if (!is_dir(prefix) && make_one(prefix, mode, created) != 0)
            return -1;
        pos = end == std::string::npos ? end : full.find_first_not_of('/', end);
    }
    return 0;
}

int make_unique_at(int dir, const std::string &name_template, std::string &name,
                   const std::function<int(int, const char *)> &make)
{
    const size_t stem = name_template.find_last_not_of('X') + 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = name_template;
        for (size_t i = stem; i < name.size(); ++i) {
            name[i] = kolt::rand_char(kolt::RCS_ALNUM);
            if (name[i] == '\0')
                return -1;
        }
        const int rc = make(dir, name.c_str());
        if (rc >= 0 || errno != EEXIST)
            return rc;
    }
    return -1;
}

#include "kolt/fs.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

ACE_ofstream::Fd_Buf::Fd_Buf(size_t size) : space(size ? size : 1)
{
    setp(space.data(), space.data() + space.size());
}

int ACE_ofstream::Fd_Buf::drain()
{
    const char *p = pbase();
    while (p < pptr()) {
        ssize_t n = ::write(fd, p, pptr() - p);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            return -1;
        }
        p += n;
    }
    setp(space.data(), space.data() + space.size());
    return 0;
}

ACE_ofstream::Fd_Buf::int_type ACE_ofstream::Fd_Buf::overflow(int_type c)
{
    if (fd < 0) {
        error = EBADF;
        return traits_type::eof();
    }
    if (drain() != 0)
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int ACE_ofstream::Fd_Buf::sync()
{
    if (fd < 0)
        return pptr() == pbase() ? 0 : -1;
    return drain();
}

ACE_ofstream::ACE_ofstream(size_t buffer_size) : std::ostream(nullptr), buf_(buffer_size)
{
    rdbuf(&buf_);
}

ACE_ofstream::~ACE_ofstream() { close(); }

int ACE_ofstream::open(const char *path, int flags, int mode, bool makedirs)
{
    close();
    buf_.error = 0;
    if (makedirs) {
        std::string dir(path);
        size_t slash = dir.find_last_of('/');
        if (slash != std::string::npos && slash > 0 && mkdir_p(dir.substr(0, slash).c_str(), 0755, {}) != 0) {
            buf_.error = errno;
            setstate(badbit);
            return -1;
        }
    }
    buf_.fd = ::open(path, flags, mode);
    if (buf_.fd < 0) {
        buf_.error = errno;
        setstate(badbit);
        return -1;
    }
    clear();
    return 0;
}

int ACE_ofstream::close()
{
    if (buf_.fd < 0)
        return 0;
    int rc = buf_.drain();
    if (::close(buf_.fd) != 0 && rc == 0) {
        buf_.error = errno;
        rc = -1;
    }
    buf_.fd = -1;
    if (rc != 0)
        setstate(badbit);
    return rc;
}

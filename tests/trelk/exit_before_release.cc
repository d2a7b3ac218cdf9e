// Preloaded into the launcher: it ends (status 77) where it would release the
// container, so the child sees its launcher gone first.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" ssize_t write(int fd, const void *buf, size_t count)
{
    using write_fn = ssize_t (*)(int, const void *, size_t);
    static const write_fn next = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    struct stat st;
    // Launcher and child (pid 1 of its namespace) both send an int over the socket pair.
    if (count == sizeof(int) && getpid() != 1 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
        _exit(77);
    return next(fd, buf, count);
}

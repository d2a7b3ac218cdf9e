#include "kolt/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Reads the pid-file content; 0 with an empty text for an absent file.
int read_pid_text(const char *path, std::string &text)
{
    Auto_Closer<int, Auto_Handle_Trait> fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    char buf[64];
    size_t len = 0;
    while (len < sizeof buf) {
        ssize_t n = ::read(fd.get(), buf + len, sizeof buf - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        len += n;
    }
    text.assign(buf, len);
    return 0;
}

// A pid worth looking at: decimal digits, above 1, optionally followed by
// white space. Anything else yields 0.
pid_t parse_pid(const std::string &text)
{
    size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty())
        return 0;
    if (digits != std::string::npos && text.find_first_not_of(" \t\r\n", digits) != std::string::npos)
        return 0;
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value <= 1 || value > INT_MAX)
        return 0;
    return static_cast<pid_t>(value);
}

struct Proc_Status {
    bool exists = false;
    bool zombie = false;
    bool namespace_init = false;
};

Proc_Status read_status(pid_t pid)
{
    Proc_Status st;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        st.exists = true;
        std::istringstream fields(line);
        std::string key, value, last;
        fields >> key;
        if (key == "State:") {
            fields >> value;
            st.zombie = value == "Z" || value == "X";
        } else if (key == "NSpid:") {
            int count = 0;
            while (fields >> value) {
                last = value;
                ++count;
            }
            st.namespace_init = count > 1 && last == "1";
        }
    }
    return st;
}

// Called through syscall(): the C library's header lacks C++ linkage markers.
int pidfd_open(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfd_kill(int pidfd)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

// The container of the root `root`: the first process of a PID namespace below
// ours whose root directory is `root` (the container's root is the target bound
// onto itself, so it has the target's device and inode).
bool is_container_of(pid_t pid, const struct stat &root)
{
    const Proc_Status st = read_status(pid);
    if (!st.exists || st.zombie || !st.namespace_init)
        return false;
    struct stat proc_root;
    const std::string link = "/proc/" + std::to_string(pid) + "/root";
    return ::stat(link.c_str(), &proc_root) == 0 && proc_root.st_dev == root.st_dev &&
           proc_root.st_ino == root.st_ino;
}

}  // namespace

int kill_legacy_process(const char *path, const char *root, Auto_Closer<int, Auto_Handle_Trait> &ended)
{
    std::string text;
    if (read_pid_text(path, text) != 0)
        return -1;
    const pid_t pid = parse_pid(text);
    struct stat root_st;
    if (pid == 0 || ::stat(root, &root_st) != 0)
        return 0;
    // The descriptor holds on to the process that has this pid now. If that
    // process ends and the pid is reused while it is being checked, the
    // signal below fails with ESRCH instead of reaching the newcomer.
    // A pid that names a thread, not a process, is refused with EINVAL, by
    // newer kernels with ENOENT.
    Auto_Closer<int, Auto_Handle_Trait> pidfd(pidfd_open(pid));
    if (pidfd.get() < 0)
        return errno == ESRCH || errno == EINVAL || errno == ENOENT ? 0 : -1;
    if (!is_container_of(pid, root_st))
        return 0;
    if (pidfd_kill(pidfd.get()) != 0)
        return errno == ESRCH ? 0 : -1;
    ended.reset(fcntl(pidfd.get(), F_DUPFD_CLOEXEC, 0));
    return ended.get() < 0 ? -1 : 0;
}

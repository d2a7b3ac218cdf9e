// trelk CONF COMMAND [ARGS...]: runs COMMAND as the first process of new
// mount, UTS, IPC and PID (and, with a "net" object, network) namespaces.
#include <ace/Log_Msg.h>
#include <ace/Signal.h>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <new>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "kolt/fs.h"
#include "kolt/make_deleter.h"
#include "kolt/process.h"
#include "support/auto_closer.h"
#include "trelk/conf.h"
#include "trelk/network.h"

namespace trelk {

enum {
    STACK_SIZE = 1024 * 1024,
    CLONE_FLAGS = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWPID,
};

using Fd = Auto_Closer<int, Auto_Handle_Trait>;
using Host_End = std::unique_ptr<const char, int (*)(const char *)>;

// The mask the launcher was started with: COMMAND gets it back.
sigset_t original_mask;

void usage(const char *prog) { fprintf(stderr, "Usage: %s CONF COMMAND\n", prog); }

// The signals the launcher acts on. They stay blocked in the launcher from the
// start and are read from a signalfd whenever it waits, so one that arrives in
// the middle of a step is acted on once the step is done, never lost.
sigset_t watched_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set, signo);
    return set;
}

void block_signals()
{
    const sigset_t set = watched_signals();
    sigprocmask(SIG_BLOCK, &set, &original_mask);
}

// The signals whose dispositions the launcher sets, and the dispositions it
// was started with: COMMAND gets those back (an ignored SIGPIPE, kept across
// exec, would turn a server's broken connection into EPIPE).
constexpr int changed_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGIO, SIGURG};
ACE_Sig_Action original_actions[std::size(changed_signals)];

// The watched signals at their defaults (whatever the launcher was started
// with: an ignored SIGCHLD would reap the container unseen), a few ignored.
void init_signal_handlers()
{
    for (size_t i = 0; i < std::size(changed_signals); ++i)
        original_actions[i].retrieve_action(changed_signals[i]);
    ACE_Sig_Set no_mask;
    ACE_Sig_Set watched;
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
        watched.sig_add(signo);
    ACE_Sig_Action(watched, SIG_DFL, no_mask, 0);

    ACE_Sig_Set ignored;
    ignored.sig_add(SIGPIPE);
    ignored.sig_add(SIGIO);
    ignored.sig_add(SIGURG);
    ACE_Sig_Action(ignored, SIG_IGN, no_mask, 0);
}

void restore_signal_handlers()
{
    for (size_t i = 0; i < std::size(changed_signals); ++i)
        original_actions[i].register_action(changed_signals[i]);
}

enum class Wake { ready, terminate, timeout };

// Handles the signals queued on `signals`. A hang-up goes to `hup_to` once
// COMMAND runs (before, the container has nobody to pass it to). Sets
// `child_changed` on SIGCHLD; false when a terminating signal came.
bool handle_signals(int signals, pid_t hup_to, bool &child_changed)
{
    signalfd_siginfo info;
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int signo = static_cast<int>(info.ssi_signo);
        if (signo == SIGCHLD) {
            child_changed = true;
        } else if (signo == SIGHUP) {
            ACE_DEBUG((LM_INFO, "Signal %d (%s) catch on trelk.\n", signo, strsignal(signo)));
            if (hup_to > 0)
                kill(hup_to, SIGHUP);
        } else {
            ACE_DEBUG((LM_INFO, "Signal %d (%s) caught on trelk.\n", signo, strsignal(signo)));
            return false;
        }
    }
    return true;
}

// Waits until `fd` is readable, or with `fd` -1 until a SIGCHLD, at most
// `timeout_ms` (-1: no limit).
Wake wait_for(int signals, int fd, pid_t hup_to, int timeout_ms)
{
    using std::chrono::steady_clock;
    const steady_clock::time_point deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        struct pollfd fds[2] = {{signals, POLLIN, 0}, {fd, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
        const int n = poll(fds, fd < 0 ? 1 : 2, timeout_ms < 0 ? -1 : std::max(0, static_cast<int>(left.count())));
        if (n == 0)
            return Wake::timeout;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ACE_ERROR((LM_ERROR, "Failed to wait: errno=%d, %m\n", errno));
            return Wake::terminate;
        }
        // The descriptor first: signals that came with it stay queued for the
        // next wait, which may pass a hang-up on where this one could not.
        if (fd >= 0 && fds[1].revents)
            return Wake::ready;
        bool child_changed = false;
        if (fds[0].revents && !handle_signals(signals, hup_to, child_changed))
            return Wake::terminate;
        if (fd < 0 && child_changed)
            return Wake::ready;
    }
}

// Transfers all `size` bytes unless the peer is gone: the count moved, or -1.
ssize_t read_full(int fd, void *buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, static_cast<char *>(buf) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -1 : static_cast<ssize_t>(done);
        done += n;
    }
    return static_cast<ssize_t>(done);
}

ssize_t write_full(int fd, const void *buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, static_cast<const char *>(buf) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        done += n;
    }
    return static_cast<ssize_t>(done);
}

// The pid file as this launcher wrote it. It is made under a fresh name and
// renamed over the configured path, so a symbolic link there is replaced,
// never written through; on destruction it is removed only while it is still
// the file written here, holding this launcher's pid.
class Pid_File {
public:
    Pid_File() = default;
    ~Pid_File() { remove(); }
    Pid_File(const Pid_File &) = delete;
    Pid_File &operator=(const Pid_File &) = delete;

    // True, or false with errno set.
    bool write(const std::string &path, pid_t pid)
    {
        const size_t slash = path.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
        name_ = path.substr(slash == std::string::npos ? 0 : slash + 1);
        if (name_.empty() || name_ == "." || name_ == "..") {
            errno = EISDIR;
            return false;
        }
        if (mkdir_p(dir.c_str(), 0755, {}) != 0)
            return false;
        dir_.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir_.get() < 0)
            return false;
        text_ = std::to_string(pid);
        std::string temp;
        Fd file(make_unique_at(dir_.get(), ".trelk.XXXXXXXX", temp, [](int dir, const char *name) {
            return openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
        }));
        if (file.get() < 0)
            return false;
        struct stat st;
        if (write_full(file.get(), text_.data(), text_.size()) < 0 || fsync(file.get()) != 0 ||
            fstat(file.get(), &st) != 0 || renameat(dir_.get(), temp.c_str(), dir_.get(), name_.c_str()) != 0) {
            const int err = errno;
            unlinkat(dir_.get(), temp.c_str(), 0);
            errno = err;
            return false;
        }
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        written_ = true;
        return true;
    }

    void remove()
    {
        if (!written_)
            return;
        written_ = false;
        struct stat st;
        if (fstatat(dir_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev_ ||
            st.st_ino != ino_)
            return;
        Fd file(openat(dir_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        char buf[32];
        const ssize_t n = file.get() < 0 ? -1 : read_full(file.get(), buf, sizeof buf);
        // A launcher that renames its own file over the path between this
        // check and the unlink loses its file; launchers of one configuration
        // are not meant to run at once, and the window is this short.
        if (n >= 0 && std::string(buf, n) == text_)
            unlinkat(dir_.get(), name_.c_str(), 0);
    }

private:
    Fd dir_{Auto_Handle_Trait::invalid_handle};
    std::string name_;
    std::string text_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool written_ = false;
};

int sync_with_parent(config *conf)
{
    close(conf->sv[1]);
    // Kept open until COMMAND is executed: its closing tells the launcher that
    // COMMAND runs.
    fcntl(conf->sv[0], F_SETFD, FD_CLOEXEC);
    int token = 0;
    if (write_full(conf->sv[0], &token, sizeof token) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to write socket\n"));
        return 1;
    }
    const ssize_t n = read_full(conf->sv[0], &token, sizeof token);
    if (n < 0) {
        ACE_ERROR((LM_ERROR, "Failed to read socket\n"));
        return 1;
    }
    if (n != sizeof token) {
        ACE_ERROR((LM_ERROR, "Launcher ended before releasing the container\n"));
        return 1;
    }
    return 0;
}

int child(void *arg)
{
    config *conf = static_cast<config *>(arg);
    if (int rc = sync_with_parent(conf))
        return rc;
    if (int rc = setup(conf))
        return rc;
    restore_signal_handlers();
    sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    execvp(conf->command[0], const_cast<char *const *>(conf->command));
    const int err = errno;
    std::string command_line = conf->command[0];
    for (const char **arg = conf->command + 1; *arg; ++arg)
        command_line.append(" ").append(*arg);
    errno = err;
    ACE_ERROR((LM_ERROR, "Failed to execute '%C', errno=%d, %m", command_line.c_str(), err));
    return err;
}

int wait_child(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// True once the child has ended and is reaped, with its status in `status`.
// A wait that fails for another reason ends the wait with status 0.
bool reap_child(pid_t pid, int &status)
{
    for (;;) {
        status = 0;
        const pid_t n = waitpid(pid, &status, WNOHANG);
        if (n < 0 && errno == EINTR)
            continue;
        return n != 0;
    }
}

// A child killed in the middle of building its root would leave its put-old
// directory in the target's tmp. That takes it microseconds, so a released
// child is given this long to finish (by executing COMMAND or failing).
constexpr int setup_grace_ms = 1000;

// A launch that ends before the child has ended by itself leaves nothing
// behind: a child busy building its root is let finish, the veth pair is
// deleted while the container still holds its namespace, then the child is
// killed and reaped.
class Child_Reaper {
public:
    Child_Reaper(pid_t pid, Host_End &host_end) : pid_(pid), host_end_(host_end) {}
    ~Child_Reaper()
    {
        if (pid_ <= 0)
            return;
        struct pollfd setup_end = {setup_fd_, POLLIN, 0};
        while (setup_fd_ >= 0 && poll(&setup_end, 1, setup_grace_ms) < 0 && errno == EINTR) {
        }
        host_end_.reset();
        kill(pid_, SIGKILL);
        wait_child(pid_);
    }
    Child_Reaper(const Child_Reaper &) = delete;
    Child_Reaper &operator=(const Child_Reaper &) = delete;

    // The child builds its root until `launcher_end` shows end of file.
    void setup_started(int launcher_end) { setup_fd_ = launcher_end; }
    void setup_ended() { setup_fd_ = -1; }
    void reaped() { pid_ = -1; }

private:
    pid_t pid_;
    Host_End &host_end_;
    int setup_fd_ = -1;
};

// The handshake: waits for the child's token, hands the network device over,
// releases the child and waits until it has executed COMMAND (or ended).
// 0, or 1 when the launch is to end.
int release_child(config &conf, int signals, int launcher_end, pid_t pid, Child_Reaper &reaper)
{
    if (wait_for(signals, launcher_end, -1, -1) != Wake::ready)
        return 1;
    int token = 0;
    if (read_full(launcher_end, &token, sizeof token) != sizeof token) {
        ACE_ERROR((LM_ERROR, "Failed to read the socket\n"));
        return 1;
    }
    if (conf.network && device_move(conf.network->ifindex, pid) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to create the configured network\n"));
        return 1;
    }
    if (write_full(launcher_end, &token, sizeof token) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to write the socket\n"));
        return 1;
    }
    reaper.setup_started(launcher_end);
    if (wait_for(signals, launcher_end, -1, -1) != Wake::ready)
        return 1;
    reaper.setup_ended();
    return 0;
}

// How long a container left by an earlier launcher may take to end.
constexpr int leftover_wait_ms = 5000;

// Ends the container that the pid file names, if an earlier launcher left it,
// and waits for its end; a stop request ends the wait. 0, or 1 when the
// launch is to end.
int end_leftover(const config &conf, int signals)
{
    Fd leftover(Auto_Handle_Trait::invalid_handle);
    if (kill_legacy_process(conf.pidfile.c_str(), conf.target.c_str(), leftover) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to kill legacy process from %s, errno=%d, %m\n", conf.pidfile.c_str(), errno));
        return 1;
    }
    const Wake wake = leftover.get() < 0 ? Wake::ready : wait_for(signals, leftover.get(), -1, leftover_wait_ms);
    if (wake == Wake::timeout) {
        errno = ETIMEDOUT;
        ACE_ERROR((LM_ERROR, "Failed to kill legacy process from %s, errno=%d, %m\n", conf.pidfile.c_str(), errno));
    }
    return wake == Wake::ready ? 0 : 1;
}

int launch(int argc, char **argv)
{
    config conf;
    if (!load_config(argc, argv, &conf))
        return 1;
    init_signal_handlers();
    const sigset_t watched = watched_signals();
    Fd signals(signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC));
    if (signals.get() < 0) {
        ACE_ERROR((LM_ERROR, "Failed to create signalfd: errno=%d, %m\n", errno));
        return 1;
    }
    if (end_leftover(conf, signals.get()) != 0)
        return 1;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, conf.sv) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to create communication socketpair\n"));
        return 1;
    }
    Fd child_end(conf.sv[0]);
    Fd launcher_end(conf.sv[1]);

    const bool has_net = static_cast<bool>(conf.network);
    Host_End host_end(nullptr, device_delete);
    if (has_net) {
        if (instantiate_veth(conf.network.get()) < 0) {
            ACE_ERROR((LM_ERROR, "Failed to instantiate_veth\n"));
            return 1;
        }
        host_end = make_deleter(conf.network->host_name.c_str(), &device_delete);
    }

    std::unique_ptr<char[]> stack(new (std::nothrow) char[STACK_SIZE]);
    if (!stack) {
        ACE_ERROR((LM_ERROR, "Failed to malloc stack for child\n"));
        return 1;
    }
    if (wait_for(signals.get(), -1, -1, 0) == Wake::terminate)
        return 1;
    const int flags = CLONE_FLAGS | SIGCHLD | (has_net ? CLONE_NEWNET : 0);
    Pid_File pid_file;
    const pid_t pid = clone(child, stack.get() + STACK_SIZE, flags, &conf);
    if (pid < 0) {
        ACE_ERROR((LM_ERROR, "Failed to clone: errno=%d, %m\n", errno));
        return 1;
    }
    Child_Reaper reaper(pid, host_end);
    if (!pid_file.write(conf.pidfile, pid)) {
        ACE_ERROR((LM_ERROR, "Failed to write pid=%Q to %C, errno=%d, %m\n", static_cast<ACE_UINT64>(pid),
                   conf.pidfile.c_str(), errno));
        return 1;
    }
    child_end.reset(Auto_Handle_Trait::invalid_handle);
    if (release_child(conf, signals.get(), launcher_end.get(), pid, reaper) != 0)
        return 1;

    int status = 0;
    while (!reap_child(pid, status)) {
        if (wait_for(signals.get(), -1, pid, -1) == Wake::terminate)
            return 1;
    }
    reaper.reaped();
    // The container's namespace took its end of the pair, and with it the host end.
    host_end.release();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace trelk

int main(int argc, char **argv)
{
    if (argc < 3) {
        trelk::usage(argv[0]);
        return 1;
    }
    trelk::block_signals();
    return trelk::launch(argc, argv);
}

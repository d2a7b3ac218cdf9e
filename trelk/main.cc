// trelk CONF COMMAND [ARGS...]: runs COMMAND as the first process of new
// mount, UTS, IPC and PID (and, with a "net" object, network) namespaces.
#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Signal.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "kolt/make_deleter.h"
#include "kolt/process.h"
#include "support/auto_closer.h"
#include "support/read_write_object.h"
#include "trelk/conf.h"
#include "trelk/network.h"

namespace trelk {

enum {
    STACK_SIZE = 1024 * 1024,
    CLONE_FLAGS = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWPID,
};

// Read by the signal handlers: `pidfile` is set before `child_pid`.
volatile sig_atomic_t child_pid = -1;
std::string pidfile;

using Fd = Auto_Closer<int, Auto_Handle_Trait>;

void usage(const char *prog) { fprintf(stderr, "Usage: %s CONF COMMAND\n", prog); }

void sig_terminate(int signo)
{
    ACE_DEBUG((LM_INFO, "Signal %d (%s) caught on trelk.\n", signo, strsignal(signo)));
    if (child_pid != -1) {
        kill(child_pid, SIGKILL);
        ACE_OS::unlink(pidfile.c_str());
    }
}

void sig_hup(int signo)
{
    ACE_DEBUG((LM_INFO, "Signal %d (%s) catch on trelk.\n", signo, strsignal(signo)));
    if (child_pid != -1)
        kill(child_pid, SIGHUP);
}

void init_signal_handlers()
{
    ACE_Sig_Set no_mask;
    ACE_Sig_Set terminate;
    terminate.sig_add(SIGINT);
    terminate.sig_add(SIGQUIT);
    terminate.sig_add(SIGTERM);
    ACE_Sig_Action(terminate, sig_terminate, no_mask, 0);

    ACE_Sig_Set ignored;
    ignored.sig_add(SIGPIPE);
    ignored.sig_add(SIGIO);
    ignored.sig_add(SIGURG);
    ACE_Sig_Action(ignored, SIG_IGN, no_mask, 0);

    ACE_Sig_Set hangup;
    hangup.sig_add(SIGHUP);
    ACE_Sig_Action(hangup, sig_hup, no_mask, 0);
}

int sync_with_parent(config *conf)
{
    close(conf->sv[1]);
    fcntl(conf->sv[0], F_SETFD, FD_CLOEXEC);
    int token = 0;
    if (write(conf->sv[0], &token, sizeof token) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to write socket\n"));
        return 1;
    }
    if (read(conf->sv[0], &token, sizeof token) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to read socket\n"));
        return 1;
    }
    close(conf->sv[0]);
    return 0;
}

int child(void *arg)
{
    config *conf = static_cast<config *>(arg);
    if (int rc = sync_with_parent(conf))
        return rc;
    if (int rc = setup(conf))
        return rc;
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

// A launcher that gives up after the child exists must not leave COMMAND
// running unsupervised: until released, this kills and reaps the child and
// removes the pid file once it was written.
class Child_Reaper {
public:
    explicit Child_Reaper(pid_t pid) : pid_(pid) {}
    ~Child_Reaper()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        wait_child(pid_);
        if (pidfile_written_)
            ACE_OS::unlink(pidfile.c_str());
    }
    Child_Reaper(const Child_Reaper &) = delete;
    Child_Reaper &operator=(const Child_Reaper &) = delete;

    void pidfile_written() { pidfile_written_ = true; }
    void release() { pid_ = -1; }

private:
    pid_t pid_;
    bool pidfile_written_ = false;
};

int launch(int argc, char **argv)
{
    config conf;
    if (!load_config(argc, argv, &conf))
        return 1;
    init_signal_handlers();
    if (kill_legacy_process(conf.pidfile.c_str()) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to kill legacy process from %s, errno=%d, %m\n", conf.pidfile.c_str(), errno));
        return 1;
    }
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, conf.sv) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to create communication socketpair\n"));
        return 1;
    }
    Fd child_end(conf.sv[0]);
    Fd launcher_end(conf.sv[1]);

    const bool has_net = static_cast<bool>(conf.network);
    // Deletes the host end of the veth pair (and with it the container end)
    // until the container end has been handed over to the child.
    std::unique_ptr<const char, int (*)(const char *)> host_end(nullptr, device_delete);
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
    const int flags = CLONE_FLAGS | SIGCHLD | (has_net ? CLONE_NEWNET : 0);
    const pid_t pid = clone(child, stack.get() + STACK_SIZE, flags, &conf);
    if (pid < 0) {
        ACE_ERROR((LM_ERROR, "Failed to clone: errno=%d, %m\n", errno));
        return 1;
    }
    Child_Reaper reaper(pid);
    pidfile = conf.pidfile;
    child_pid = pid;

    if (!write_object(conf.pidfile.c_str(), pid, 0640, false, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, true, false)) {
        ACE_ERROR((LM_ERROR, "Failed to write pid=%Q to %C, errno=%d, %m\n", static_cast<ACE_UINT64>(pid),
                   conf.pidfile.c_str(), errno));
        return 1;
    }
    reaper.pidfile_written();
    child_end.reset(Auto_Handle_Trait::invalid_handle);

    int token = 0;
    if (read(launcher_end.get(), &token, sizeof token) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to read the socket\n"));
        return 1;
    }
    if (has_net) {
        if (device_move(conf.network->ifindex, pid) != 0) {
            ACE_ERROR((LM_ERROR, "Failed to create the configured network\n"));
            return 1;
        }
        host_end.release();
    }
    if (write(launcher_end.get(), &token, sizeof token) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to write the socket\n"));
        return 1;
    }

    reaper.release();
    const int status = wait_child(pid);
    ACE_OS::unlink(pidfile.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace trelk

int main(int argc, char **argv)
{
    if (argc < 3) {
        trelk::usage(argv[0]);
        return 1;
    }
    return trelk::launch(argc, argv);
}

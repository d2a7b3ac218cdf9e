// Runs as the first process of its own PID namespace with its own /proc, so a
// fault here can only signal processes that the test itself started.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kolt/process.h"
#include "temp_dir.h"

namespace {

enum Kind { ordinary, container, exited };

// A process that lives until killed (or, exited, a zombie); reaped when the
// holder goes. A container is the first process of a PID namespace; with a
// root a process changes its root directory to it.
class Child {
public:
    explicit Child(Kind kind, const char *root = nullptr)
    {
        static char stack[64 * 1024];
        pid_ = clone(kind == exited ? exit_now : sleep_forever, stack + sizeof stack,
                     SIGCHLD | (kind == ordinary ? 0 : CLONE_NEWPID), const_cast<char *>(root));
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    std::string text() const { return std::to_string(pid_); }
    bool running() const
    {
        siginfo_t info{};
        return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    }

private:
    static int sleep_forever(void *root)
    {
        if (root && chroot(static_cast<const char *>(root)) != 0)
            _exit(1);
        for (;;)
            pause();
    }
    static int exit_now(void *) { _exit(0); }

    pid_t pid_ = -1;
};

class KillLegacy : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(root_.c_str(), 0755), 0); }
    int kill_legacy(const std::string &content)
    {
        return kill_legacy_process(dir_.write("c.pid", content).c_str(), root_.c_str());
    }
    // Waits (bounded) until `c` has made root_ its root directory.
    bool in_root(const Child &c)
    {
        struct stat want, have;
        const std::string link = "/proc/" + c.text() + "/root";
        for (int i = 0; i < 500 && stat(root_.c_str(), &want) == 0; ++i) {
            if (stat(link.c_str(), &have) == 0 && have.st_ino == want.st_ino && have.st_dev == want.st_dev)
                return true;
            usleep(10000);
        }
        return false;
    }
    // qemu-user refuses namespace flags in clone(); the cross build's tests say
    // they run under it (QOR_EMULATOR), and only then is that a reason to skip.
    bool pid_namespace_refused()
    {
        Child probe(exited);
        return probe.pid() < 0 && errno == EINVAL && std::getenv("QOR_EMULATOR");
    }

    Temp_Dir dir_;
    std::string root_ = dir_.file("root");
};

// Whatever else the file names, nothing is signalled and the file counts as stale.
TEST_F(KillLegacy, StaleFileSignalsNobody)
{
    Child bystander(ordinary), chrooted(ordinary, root_.c_str());
    ASSERT_TRUE(in_root(chrooted));
    std::promise<pid_t> started;
    std::promise<void> done;
    std::thread thread([&] {
        started.set_value(gettid());
        done.get_future().wait();
    });
    const std::string tid = std::to_string(started.get_future().get());
    EXPECT_EQ(kill_legacy_process(dir_.file("none.pid").c_str(), root_.c_str()), 0);
    EXPECT_EQ(kill_legacy_process(dir_.file("none/x.pid").c_str(), root_.c_str()), 0);
    for (const std::string &content : {bystander.text(), chrooted.text(), tid, std::string(), std::string("0"),
                                       std::string("-1"), std::string("1"), std::string("abc"), " " + chrooted.text(),
                                       chrooted.text() + "abc", std::string("99999999999999999999"),
                                       std::string("4194305000")})
        EXPECT_EQ(kill_legacy(content), 0) << content;
    EXPECT_TRUE(bystander.running());
    EXPECT_TRUE(chrooted.running());
    done.set_value();
    thread.join();
    errno = 0;
    EXPECT_NE(kill_legacy_process(dir_.file("").c_str(), root_.c_str()), 0);
    EXPECT_EQ(errno, EISDIR);
}

// Only the first process of a PID namespace whose root is the target is ended.
TEST_F(KillLegacy, EndsOnlyTheContainerOfTheRoot)
{
    if (pid_namespace_refused())
        GTEST_SKIP() << "the emulator refuses CLONE_NEWPID in clone(); this needs a real kernel";
    Child other(container), zombie(exited), target(container, root_.c_str()), again(container, root_.c_str());
    ASSERT_TRUE(in_root(target) && in_root(again));
    pid_t gone;
    {
        Child c(container);
        gone = c.pid();
    }
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, zombie.pid(), &info, WEXITED | WNOWAIT), 0);
    for (const std::string &content : {other.text(), zombie.text(), std::to_string(gone)})
        EXPECT_EQ(kill_legacy(content), 0) << content;
    EXPECT_TRUE(other.running() && target.running() && again.running());
    EXPECT_EQ(kill_legacy(target.text()), 0);
    EXPECT_FALSE(target.running());
    EXPECT_EQ(kill_legacy(again.text() + "\n"), 0);
    EXPECT_FALSE(again.running());
}

}  // namespace

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

// A process that lives until killed; reaped when the holder goes.
class Child {
public:
    // With new_namespace the child is the first process of a PID namespace;
    // with a root it changes its root directory to it, as a container does.
    explicit Child(bool new_namespace, bool exit_at_once = false, const char *root = nullptr)
    {
        static char stack[64 * 1024];
        int flags = SIGCHLD | (new_namespace ? CLONE_NEWPID : 0);
        pid_ = clone(exit_at_once ? exit_now : sleep_forever, stack + sizeof stack, flags, const_cast<char *>(root));
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

    // Still there and not a zombie.
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
    void SetUp() override { ASSERT_EQ(mkdir(root(), 0755), 0); }
    std::string pidfile(const std::string &content) { return dir_.write("c.pid", content); }
    int kill_legacy(const std::string &path) { return kill_legacy_process(path.c_str(), root()); }
    // Waits (bounded) until `pid` has changed its root directory to root().
    bool in_root(pid_t pid)
    {
        struct stat want, have;
        const std::string link = "/proc/" + std::to_string(pid) + "/root";
        for (int i = 0; i < 500 && stat(root(), &want) == 0; ++i) {
            if (stat(link.c_str(), &have) == 0 && have.st_ino == want.st_ino && have.st_dev == want.st_dev)
                return true;
            usleep(10000);
        }
        return false;
    }
    const char *root()
    {
        root_ = dir_.file("root");
        return root_.c_str();
    }

    Temp_Dir dir_;
    std::string root_;
};

// qemu-user refuses namespace flags in clone(); the cross build's tests say they
// run under it (QOR_EMULATOR), and only then is that refusal a reason to skip.
bool pid_namespace_refused_by_emulator()
{
    if (std::getenv("QOR_EMULATOR") == nullptr)
        return false;
    static char stack[16 * 1024];
    pid_t pid = clone([](void *) -> int { _exit(0); }, stack + sizeof stack, SIGCHLD | CLONE_NEWPID, nullptr);
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
        return false;
    }
    return errno == EINVAL;
}

// Cases that need a child that is the first process of its own PID namespace.
class KillLegacyContainer : public KillLegacy {
protected:
    void SetUp() override
    {
        KillLegacy::SetUp();
        if (pid_namespace_refused_by_emulator())
            GTEST_SKIP() << "the emulator (" << std::getenv("QOR_EMULATOR")
                         << ") refuses CLONE_NEWPID in clone(); this needs a real kernel";
    }
};

TEST_F(KillLegacy, AbsentFileMeansNothingToDo)
{
    EXPECT_EQ(kill_legacy(dir_.file("none.pid")), 0);
    EXPECT_EQ(kill_legacy(dir_.file("none/x.pid")), 0);
}

TEST_F(KillLegacyContainer, EndsTheContainerOfTheRoot)
{
    Child container(true, false, root());
    ASSERT_TRUE(in_root(container.pid()));
    ASSERT_TRUE(container.running());
    EXPECT_EQ(kill_legacy(pidfile(std::to_string(container.pid()))), 0);
    EXPECT_FALSE(container.running());
}

TEST_F(KillLegacy, ReusedPidOfAnOrdinaryProcessIsLeftAlone)
{
    Child unrelated(false);
    ASSERT_GT(unrelated.pid(), 0);
    EXPECT_EQ(kill_legacy(pidfile(std::to_string(unrelated.pid()))), 0);
    EXPECT_TRUE(unrelated.running());
}

// Only the container of this root is ended: another container (the first
// process of a PID namespace with another root) or an ordinary process that
// happens to have this root is stale and left alone.
TEST_F(KillLegacyContainer, AnythingButTheContainerOfTheRootIsLeftAlone)
{
    Child other_container(true);
    Child chrooted(false, false, root());
    ASSERT_TRUE(in_root(chrooted.pid()));
    for (const Child *c : {&other_container, &chrooted}) {
        ASSERT_GT(c->pid(), 0);
        EXPECT_EQ(kill_legacy(pidfile(std::to_string(c->pid()))), 0);
        EXPECT_TRUE(c->running());
    }
}

TEST_F(KillLegacy, ThreadIdIsStale)
{
    std::promise<pid_t> started;
    std::promise<void> done;
    std::thread thread([&] {
        started.set_value(gettid());
        done.get_future().wait();
    });
    const pid_t tid = started.get_future().get();
    EXPECT_EQ(kill_legacy(pidfile(std::to_string(tid))), 0);
    done.set_value();
    thread.join();
}

TEST_F(KillLegacyContainer, ZombieCountsAsEnded)
{
    Child ended(true, true);
    ASSERT_GT(ended.pid(), 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, ended.pid(), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(kill_legacy(pidfile(std::to_string(ended.pid()))), 0);
}

TEST_F(KillLegacyContainer, ContentThatIsNoPidIsStaleAndSignalsNobody)
{
    Child bystander(false);
    Child container(true, false, root());
    ASSERT_TRUE(in_root(container.pid()));
    for (const char *content : {"", "0", "-1", "1", "-12", "abc", "12abc", " 12", "99999999999999999999",
                                "4194305000"}) {
        EXPECT_EQ(kill_legacy(pidfile(content)), 0) << content;
        EXPECT_TRUE(bystander.running()) << content;
        EXPECT_TRUE(container.running()) << content;
    }
}

TEST_F(KillLegacyContainer, PidOfNoProcessIsStale)
{
    pid_t gone;
    {
        Child c(true);
        gone = c.pid();
    }
    EXPECT_EQ(kill_legacy(pidfile(std::to_string(gone))), 0);
}

TEST_F(KillLegacyContainer, TrailingNewlineIsAccepted)
{
    Child container(true, false, root());
    ASSERT_TRUE(in_root(container.pid()));
    EXPECT_EQ(kill_legacy(pidfile(std::to_string(container.pid()) + "\n")), 0);
    EXPECT_FALSE(container.running());
}

TEST_F(KillLegacy, UnreadableFileFailsWithErrno)
{
    errno = 0;
    EXPECT_NE(kill_legacy(dir_.path()), 0);
    EXPECT_EQ(errno, EISDIR);
}

}  // namespace

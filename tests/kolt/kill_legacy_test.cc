// Runs as the first process of its own PID namespace with its own /proc, so a
// fault here can only signal processes that the test itself started.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kolt/process.h"
#include "temp_dir.h"

namespace {

// A process that lives until killed; reaped when the holder goes.
class Child {
public:
    // With new_namespace the child is the first process of a PID namespace.
    explicit Child(bool new_namespace, bool exit_at_once = false)
    {
        static char stack[64 * 1024];
        int flags = SIGCHLD | (new_namespace ? CLONE_NEWPID : 0);
        pid_ = clone(exit_at_once ? exit_now : sleep_forever, stack + sizeof stack, flags, nullptr);
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
    static int sleep_forever(void *)
    {
        for (;;)
            pause();
    }
    static int exit_now(void *) { _exit(0); }

    pid_t pid_ = -1;
};

class KillLegacy : public ::testing::Test {
protected:
    std::string pidfile(const std::string &content) { return dir_.write("c.pid", content); }
    Temp_Dir dir_;
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
    EXPECT_EQ(kill_legacy_process(dir_.file("none.pid").c_str()), 0);
    EXPECT_EQ(kill_legacy_process(dir_.file("none/x.pid").c_str()), 0);
}

TEST_F(KillLegacyContainer, EndsTheFirstProcessOfAnotherNamespace)
{
    Child container(true);
    ASSERT_GT(container.pid(), 0);
    ASSERT_TRUE(container.running());
    EXPECT_EQ(kill_legacy_process(pidfile(std::to_string(container.pid())).c_str()), 0);
    EXPECT_FALSE(container.running());
}

TEST_F(KillLegacy, ReusedPidOfAnOrdinaryProcessIsLeftAlone)
{
    Child unrelated(false);
    ASSERT_GT(unrelated.pid(), 0);
    EXPECT_EQ(kill_legacy_process(pidfile(std::to_string(unrelated.pid())).c_str()), 0);
    EXPECT_TRUE(unrelated.running());
}

TEST_F(KillLegacyContainer, ZombieCountsAsEnded)
{
    Child ended(true, true);
    ASSERT_GT(ended.pid(), 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, ended.pid(), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(kill_legacy_process(pidfile(std::to_string(ended.pid())).c_str()), 0);
}

TEST_F(KillLegacyContainer, ContentThatIsNoPidIsStaleAndSignalsNobody)
{
    Child bystander(false);
    Child container(true);
    for (const char *content : {"", "0", "-1", "1", "-12", "abc", "12abc", " 12", "99999999999999999999",
                                "4194305000"}) {
        EXPECT_EQ(kill_legacy_process(pidfile(content).c_str()), 0) << content;
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
    EXPECT_EQ(kill_legacy_process(pidfile(std::to_string(gone)).c_str()), 0);
}

TEST_F(KillLegacyContainer, TrailingNewlineIsAccepted)
{
    Child container(true);
    EXPECT_EQ(kill_legacy_process(pidfile(std::to_string(container.pid()) + "\n").c_str()), 0);
    EXPECT_FALSE(container.running());
}

TEST_F(KillLegacy, UnreadableFileFailsWithErrno)
{
    errno = 0;
    EXPECT_NE(kill_legacy_process(dir_.path().c_str()), 0);
    EXPECT_EQ(errno, EISDIR);
}

}  // namespace

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "log_capture.h"
#include "support/auto_closer.h"
#include "support/read_write_object.h"
#include "support/snprintf_t.h"
#include "temp_dir.h"

namespace {

constexpr int pid_flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

TEST(SnprintfT, ShortTextStaysInline)
{
    snprintf_t<4096, char> s("%s/tmp/.pivotrootXXXXXX", "/srv/root");
    EXPECT_STREQ(s.c_str(), "/srv/root/tmp/.pivotrootXXXXXX");
    EXPECT_EQ(s.length(), 30);
}

TEST(SnprintfT, TextOf4095CharactersFitsTheInlineBuffer)
{
    const std::string text(4095, 'a');
    snprintf_t<4096, char> s("%s", text.c_str());
    EXPECT_EQ(s.length(), 4095);
    EXPECT_EQ(s.c_str(), text);
}

TEST(SnprintfT, LongerTextMovesToTheHeapIntact)
{
    const std::string head(5000, 'x');
    snprintf_t<4096, char> s("%s/%d/end", head.c_str(), 42);
    const std::string expected = head + "/42/end";
    EXPECT_EQ(s.length(), static_cast<int>(expected.size()));
    EXPECT_EQ(s.c_str(), expected);
    // mkdtemp writes through data(); it must be the buffer c_str() reads.
    s.data()[0] = 'y';
    EXPECT_EQ(s.c_str()[0], 'y');
}

TEST(SnprintfT, SmallBufferGrowsRepeatedly)
{
    snprintf_t<4, char> s("%s", "abcdefgh");
    EXPECT_STREQ(s.c_str(), "abcdefgh");
}

class WriteObject : public ::testing::Test {
protected:
    void SetUp() override { old_umask_ = umask(0); }
    void TearDown() override { umask(old_umask_); }

    static mode_t mode_of(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    Temp_Dir dir_;
    mode_t old_umask_ = 0;
};

TEST_F(WriteObject, WritesDecimalWithoutNewlineAndGivenMode)
{
    const std::string path = dir_.file("c.pid");
    ASSERT_TRUE(write_object(path.c_str(), 12345, 0640, false, pid_flags, false, false));
    EXPECT_EQ(read_file(path), "12345");
    EXPECT_EQ(mode_of(path), 0640u);
}

TEST_F(WriteObject, EolAppendsNewline)
{
    const std::string path = dir_.file("eol");
    ASSERT_TRUE(write_object(path.c_str(), std::string("text"), 0600, true, pid_flags, false, true));
    EXPECT_EQ(read_file(path), "text\n");
}

TEST_F(WriteObject, TruncatesAnEarlierLongerFile)
{
    const std::string path = dir_.write("c.pid", "99999999999999 stale content");
    ASSERT_TRUE(write_object(path.c_str(), 7, 0640, false, pid_flags, false, false));
    EXPECT_EQ(read_file(path), "7");
}

TEST_F(WriteObject, CreatesMissingParentsOnlyWhenAsked)
{
    const std::string path = dir_.file("a/b/c/c.pid");
    errno = 0;
    EXPECT_FALSE(write_object(path.c_str(), 1, 0640, false, pid_flags, false, false));
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(write_object(path.c_str(), 1, 0640, false, pid_flags, true, false));
    EXPECT_EQ(read_file(path), "1");
}

TEST_F(WriteObject, OpenFailureIsLoggedWhenAskedAndSetsErrno)
{
    const std::string file = dir_.write("plain", "");
    const std::string path = file + "/c.pid";
    Log_Capture log;
    errno = 0;
    EXPECT_FALSE(write_object(path.c_str(), 1, 0640, false, pid_flags, true, false));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(log.text(), "");
    EXPECT_FALSE(write_object(path.c_str(), 1, 0640, false, pid_flags, true, true));
    EXPECT_EQ(log.text(), "Failed to open " + path + " for writing, errno=" + std::to_string(ENOTDIR) + ", " +
                              strerror(ENOTDIR) + "\n");
}

TEST_F(WriteObject, FullDeviceIsAFailureNotASuccess)
{
    Log_Capture log;
    errno = 0;
    EXPECT_FALSE(write_object("/dev/full", 4242, 0640, false, O_WRONLY | O_CLOEXEC, false, true));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(log.text(), "Failed to write /dev/full, errno=" + std::to_string(ENOSPC) + ", " + strerror(ENOSPC) + "\n");
}

TEST(AutoCloser, ClosesOnDestructionAndOnReset)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Auto_Closer<int, Auto_Handle_Trait> a(fds[0]);
        Auto_Closer<int, Auto_Handle_Trait> b(fds[1]);
        a.reset(fds[0]);  // same descriptor: kept open
        EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
        b.reset(Auto_Handle_Trait::invalid_handle);
        EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    }
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
}

}  // namespace

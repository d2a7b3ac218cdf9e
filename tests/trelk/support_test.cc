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
#include "support/snprintf_t.h"
#include "temp_dir.h"

namespace {

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

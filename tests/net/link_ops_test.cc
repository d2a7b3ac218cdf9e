// Link operations the launcher's runs cannot reach, in a network namespace of the test's own.
#include "trelk/network.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(LinkOps, RefusalsPassTheKernelsCode)
{
    ASSERT_EQ(trelk::veth_create("tva", "tvb"), 0);
    EXPECT_EQ(trelk::veth_create("a", "tvc"), -EINVAL);
    EXPECT_EQ(trelk::veth_create("tvc", "0123456789abcdef"), -EINVAL);
    EXPECT_EQ(trelk::veth_create("tva", "tvc"), -EEXIST);
    EXPECT_EQ(if_nametoindex("tvc"), 0u);
    EXPECT_EQ(trelk::device_set_mtu("tva", 10), -EINVAL);
    EXPECT_EQ(trelk::device_rename("tvb", "tva"), -EEXIST);
    // An error reply, cut to the request's length, still carries its code.
    EXPECT_EQ(trelk::device_move(static_cast<int>(if_nametoindex("tvb")), 0x3ffffff0), -ESRCH);
    EXPECT_EQ(trelk::device_delete("tva"), 0);
    EXPECT_EQ(trelk::device_delete("tvb"), -EINVAL);
}

// Every 'X' becomes a digit or upper-case letter; the result is no prefix of a name in use.
TEST(LinkOps, InterfaceNamesAvoidNamesInUse)
{
    const std::string taken = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXY";
    for (char c : taken)
        ASSERT_EQ(system(("ip link add " + std::string(1, c) + " type bridge").c_str()), 0);
    for (int i = 0; i < 50; ++i) {
        char one[IFNAMSIZ] = "X";
        ASSERT_EQ(trelk::mkifname(one), one);
        EXPECT_STREQ(one, "Z");
    }
    char veth[IFNAMSIZ] = "vethXXXXXX", l[IFNAMSIZ] = "l", too_long[IFNAMSIZ + 1] = "vethXXXXXXXXXXXX";
    ASSERT_EQ(trelk::mkifname(veth), veth);
    EXPECT_EQ(strspn(veth + 4, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), 6u) << veth;
    EXPECT_EQ(trelk::mkifname(l), nullptr);
    EXPECT_EQ(trelk::mkifname(too_long), nullptr);
    ASSERT_EQ(system("ip link add Zlong type bridge"), 0);
    char one[IFNAMSIZ] = "X";
    EXPECT_EQ(trelk::mkifname(one), nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!::testing::GTEST_FLAG(list_tests) && unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET)");
        return 1;
    }
    return RUN_ALL_TESTS();
}

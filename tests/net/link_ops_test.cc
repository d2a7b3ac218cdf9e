// The link and route operations the launcher's own runs do not reach, against
// the kernel. The whole program runs in a network namespace of its own (see
// main), so every device it makes disappears with it.
#include "trelk/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::string ip(const std::string &args)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(("ip " + args + " 2>&1").c_str(), "r"), pclose);
    char buf[512];
    while (pipe && fgets(buf, sizeof buf, pipe.get()))
        out += buf;
    return out;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class LinkOps : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(trelk::veth_create("tva", "tvb"), 0); }
    void TearDown() override { trelk::device_delete("tva"); }
};

TEST_F(LinkOps, RefusalsAndChanges)
{
    EXPECT_EQ(trelk::veth_create("a", "tvc"), -EINVAL);
    EXPECT_EQ(trelk::veth_create("tvc", "0123456789abcdef"), -EINVAL);
    EXPECT_EQ(trelk::veth_create("tva", "tvc"), -EEXIST);
    EXPECT_EQ(if_nametoindex("tvc"), 0u);
    for (int (*op)(const char *) : {trelk::device_up, trelk::device_down, trelk::device_delete})
        EXPECT_EQ(op("nosuchdev"), -EINVAL);
    EXPECT_EQ(trelk::device_set_mtu("nosuchdev", 1400), -EINVAL);
    EXPECT_EQ(trelk::device_rename("tvb", "tva"), -EEXIST);
    EXPECT_EQ(trelk::device_rename("tvb", "b"), -EINVAL);

    ASSERT_EQ(trelk::device_up("tva"), 0);
    ASSERT_EQ(trelk::device_set_mtu("tva", 1400), 0);
    EXPECT_EQ(trelk::device_set_mtu("tva", 10), -EINVAL);
    EXPECT_TRUE(has(ip("-o link show dev tva"), ",UP") && has(ip("-o link show dev tva"), " mtu 1400 "));
    ASSERT_EQ(trelk::device_down("tva"), 0);
    EXPECT_FALSE(has(ip("-o link show dev tva"), ",UP"));
    // The error reply echoes the request and is cut to the request's length;
    // its code still arrives.
    EXPECT_EQ(trelk::device_move(static_cast<int>(if_nametoindex("tvb")), 0x3ffffff0), -ESRCH);
}

TEST_F(LinkOps, BridgePortsAndIpv6Routes)
{
    ASSERT_EQ(system("ip link add tbr0 type bridge && ip link add 0123456789abcde type bridge"), 0);
    ASSERT_EQ(trelk::bridge_attach("tbr0", "tva"), 0);
    EXPECT_TRUE(has(ip("-o link show dev tva"), " master tbr0 "));
    ASSERT_EQ(trelk::bridge_detach("tbr0", "tva"), 0);
    // A name one byte too long must not reach the bridge its first 15 bytes name.
    for (const char *bridge : {"nosuchbridge", "", "0123456789abcdef"})
        EXPECT_EQ(trelk::bridge_attach(bridge, "tva"), -1) << bridge;
    EXPECT_EQ(trelk::bridge_attach("tbr0", "nosuchdev"), -1);
    EXPECT_FALSE(has(ip("-o link show dev tva"), "master"));
    ip("link del tbr0");
    ip("link del 0123456789abcde");

    in6_addr near = {};
    ASSERT_EQ(inet_pton(AF_INET6, "fd00:66::1", &near), 1);
    ASSERT_EQ(trelk::device_up("tva"), 0);
    ASSERT_EQ(trelk::device_up("tvb"), 0);
    const int index = static_cast<int>(if_nametoindex("tva"));
    ASSERT_EQ(trelk::ipv6_dest_add(index, &near), 0);
    EXPECT_EQ(trelk::ipv6_dest_add(index, &near), -EEXIST);
    ASSERT_EQ(trelk::ipv6_gateway_add(index, &near), 0);
    EXPECT_TRUE(has(ip("-d -6 route show dev tva"), "unicast fd00:66::1 proto boot"));
    EXPECT_TRUE(has(ip("-d -6 route show default"), "unicast default via fd00:66::1 dev tva proto boot"));
}

// Every 'X' becomes a digit or upper-case letter, and the result is no prefix
// of a name in use.
TEST(Mkifname, AvoidsNamesInUse)
{
    const std::string taken = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXY";
    for (char c : taken)
        ASSERT_EQ(system((std::string("ip link add ") + c + " type bridge").c_str()), 0);
    for (int i = 0; i < 50; ++i) {
        char one[IFNAMSIZ] = "X";
        ASSERT_EQ(trelk::mkifname(one), one);
        EXPECT_STREQ(one, "Z");
    }
    char veth[IFNAMSIZ] = "vethXXXXXX", lo[IFNAMSIZ] = "l", too_long[IFNAMSIZ + 1] = "vethXXXXXXXXXXXX";
    ASSERT_EQ(trelk::mkifname(veth), veth);
    EXPECT_EQ(strspn(veth + 4, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), 6u) << veth;
    EXPECT_EQ(trelk::mkifname(lo), nullptr);
    EXPECT_EQ(trelk::mkifname(too_long), nullptr);
    ip("link add Zlong type bridge");
    char one[IFNAMSIZ] = "X";
    EXPECT_EQ(trelk::mkifname(one), nullptr);
    for (char c : taken)
        ip(std::string("link del ") + c);
    ip("link del Zlong");
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

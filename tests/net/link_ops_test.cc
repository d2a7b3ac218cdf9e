// The link, address and route operations and the two halves of the container
// device setup against the real kernel. The whole program runs in a network
// namespace of its own (see main), so every device it makes disappears with it.
#include "trelk/conf.h"
#include "trelk/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace {

std::string run(const std::string &command)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
    if (!pipe)
        return out;
    char buf[512];
    while (fgets(buf, sizeof(buf), pipe.get()))
        out += buf;
    return out;
}

void sh(const std::string &command)
{
    ASSERT_EQ(system(command.c_str()), 0) << command;
}

bool exists(const char *name)
{
    return if_nametoindex(name) != 0;
}

int ifreq_query(const char *name, unsigned long request, ifreq &ifr)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    int ret = ioctl(fd, request, &ifr);
    close(fd);
    return ret;
}

bool is_up(const char *name)
{
    ifreq ifr;
    return ifreq_query(name, SIOCGIFFLAGS, ifr) == 0 && (ifr.ifr_flags & IFF_UP);
}

int mtu_of(const char *name)
{
    ifreq ifr;
    return ifreq_query(name, SIOCGIFMTU, ifr) == 0 ? ifr.ifr_mtu : -1;
}

std::set<std::string> interface_names()
{
    std::set<std::string> names;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next)
            names.insert(ifa->ifa_name);
        freeifaddrs(list);
    }
    return names;
}

bool has_veth()
{
    for (const std::string &name : interface_names())
        if (name.rfind("veth", 0) == 0)
            return true;
    return false;
}

in_addr ipv4(const char *text)
{
    in_addr addr = {};
    inet_pton(AF_INET, text, &addr);
    return addr;
}

in6_addr ipv6(const char *text)
{
    in6_addr addr = {};
    inet_pton(AF_INET6, text, &addr);
    return addr;
}

// Both ends of a pair up, so that routes may point at either.
class PairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(trelk::veth_create("tva", "tvb"), 0);
        ASSERT_EQ(trelk::device_up("tva"), 0);
        ASSERT_EQ(trelk::device_up("tvb"), 0);
        index = static_cast<int>(if_nametoindex("tva"));
        ASSERT_NE(index, 0);
    }
    void TearDown() override { trelk::device_delete("tva"); }

    int index = 0;
};

TEST(LinkOps, VethNamesAreCheckedAndKernelRefusalsPassThrough)
{
    EXPECT_EQ(trelk::veth_create("a", "tvb"), -EINVAL);
    EXPECT_EQ(trelk::veth_create("tva", "0123456789abcdef"), -EINVAL);
    EXPECT_FALSE(exists("tva"));
    EXPECT_FALSE(exists("tvb"));

    ASSERT_EQ(trelk::veth_create("0123456789abcde", "tvb"), 0);
    EXPECT_TRUE(exists("0123456789abcde"));
    EXPECT_TRUE(exists("tvb"));
    EXPECT_EQ(trelk::veth_create("0123456789abcde", "tvc"), -EEXIST);
    EXPECT_FALSE(exists("tvc"));

    EXPECT_EQ(trelk::device_delete("tvb"), 0);
    EXPECT_FALSE(exists("0123456789abcde"));
    EXPECT_FALSE(exists("tvb"));
}

TEST(LinkOps, MissingDeviceIsRefusedBeforeAnythingIsSent)
{
    EXPECT_EQ(trelk::device_set_mtu("nosuchdev", 1400), -EINVAL);
    EXPECT_EQ(trelk::device_up("nosuchdev"), -EINVAL);
    EXPECT_EQ(trelk::device_down("nosuchdev"), -EINVAL);
    EXPECT_EQ(trelk::device_delete("nosuchdev"), -EINVAL);
    EXPECT_EQ(trelk::device_rename("nosuchdev", "other"), -EINVAL);
    EXPECT_EQ(trelk::device_delete(""), -EINVAL);
}

TEST_F(PairTest, UpDownAndMtu)
{
    EXPECT_TRUE(is_up("tva"));
    ASSERT_EQ(trelk::device_down("tva"), 0);
    EXPECT_FALSE(is_up("tva"));
    ASSERT_EQ(trelk::device_up("tva"), 0);
    EXPECT_TRUE(is_up("tva"));

    ASSERT_EQ(trelk::device_set_mtu("tva", 1400), 0);
    EXPECT_EQ(mtu_of("tva"), 1400);
    EXPECT_EQ(trelk::device_set_mtu("tva", 10), -EINVAL);
    EXPECT_EQ(mtu_of("tva"), 1400);
}

TEST_F(PairTest, Rename)
{
    EXPECT_EQ(trelk::device_rename("tvb", "0123456789abcdef"), -EINVAL);
    EXPECT_EQ(trelk::device_rename("tvb", "b"), -EINVAL);
    EXPECT_TRUE(exists("tvb"));

    // Renaming needs the device down.
    ASSERT_EQ(trelk::device_down("tvb"), 0);
    EXPECT_EQ(trelk::device_rename("tvb", "tva"), -EEXIST);
    ASSERT_EQ(trelk::device_rename("tvb", "eth%d"), 0);
    EXPECT_FALSE(exists("tvb"));
    EXPECT_TRUE(exists("eth0"));
    ASSERT_EQ(trelk::device_rename("eth0", "inner0"), 0);
    EXPECT_TRUE(exists("inner0"));
}

TEST_F(PairTest, BridgeAttachAndDetach)
{
    sh("ip link add tbr0 type bridge");
    EXPECT_EQ(trelk::bridge_attach("tbr0", "tva"), 0);
    EXPECT_NE(run("ip -o link show dev tva").find("master tbr0"), std::string::npos);
    EXPECT_EQ(trelk::bridge_detach("tbr0", "tva"), 0);
    EXPECT_EQ(run("ip -o link show dev tva").find("master"), std::string::npos);

    EXPECT_EQ(trelk::bridge_attach("nosuchbridge", "tva"), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(trelk::bridge_attach("", "tva"), -1);
    EXPECT_EQ(errno, ENODEV);
    // A name one byte too long must not reach the bridge its first 15 bytes name.
    sh("ip link add 0123456789abcde type bridge");
    EXPECT_EQ(trelk::bridge_attach("0123456789abcdef", "tva"), -1);
    EXPECT_EQ(run("ip -o link show dev tva").find("master"), std::string::npos);
    EXPECT_EQ(trelk::bridge_attach("tbr0", "nosuchdev"), -1);
    sh("ip link del tbr0");
    sh("ip link del 0123456789abcde");
}

TEST(LinkOps, MoveIntoAnotherProcessNamespace)
{
    ASSERT_EQ(trelk::veth_create("tva", "tvb"), 0);
    int index = static_cast<int>(if_nametoindex("tvb"));
    ASSERT_NE(index, 0);

    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char byte = 0;
        if (unshare(CLONE_NEWNET) != 0 || write(ready[1], &byte, 1) != 1 ||
            read(go[0], &byte, 1) != 1)
            _exit(2);
        char name[IF_NAMESIZE];
        bool found = if_indextoname(index, name) && strcmp(name, "tvb") == 0;
        _exit(found ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(trelk::device_move(index, pid), 0);
    EXPECT_FALSE(exists("tvb"));
    EXPECT_TRUE(exists("tva"));
    ASSERT_EQ(write(go[1], &byte, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);

    // The peer went with the other namespace.
    for (int i = 0; i < 100 && exists("tva"); ++i)
        usleep(20000);
    EXPECT_FALSE(exists("tva"));
}

TEST(LinkOps, MoveToMissingProcessReportsKernelError)
{
    ASSERT_EQ(trelk::veth_create("tva", "tvb"), 0);
    int index = static_cast<int>(if_nametoindex("tvb"));
    // The error reply echoes the request and is cut to the request's length;
    // its code still arrives.
    EXPECT_EQ(trelk::device_move(index, 0x3ffffff0), -ESRCH);
    EXPECT_TRUE(exists("tvb"));
    trelk::device_delete("tva");
}

TEST_F(PairTest, Ipv4AddressAndRoutes)
{
    in_addr gw = ipv4("10.66.0.1");
    in_addr far = ipv4("10.99.0.1");

    sh("ip addr add 10.66.0.2/24 dev tva");
    EXPECT_EQ(trelk::ipv4_gateway_add(index, &far), -ENETUNREACH);
    ASSERT_EQ(trelk::ipv4_dest_add(index, &far), 0);
    EXPECT_EQ(trelk::ipv4_dest_add(index, &far), -EEXIST);
    EXPECT_NE(run("ip -d -4 route show dev tva").find("unicast 10.99.0.1 proto boot scope link"),
              std::string::npos);
    ASSERT_EQ(trelk::ipv4_gateway_add(index, &far), 0);
    EXPECT_EQ(trelk::ipv4_gateway_add(index, &gw), -EEXIST);
    EXPECT_NE(run("ip -d -4 route show default").find("unicast default via 10.99.0.1 dev tva proto boot scope global"),
              std::string::npos);
}

TEST_F(PairTest, Ipv6Routes)
{
    in6_addr near = ipv6("fd00:66::1");
    ASSERT_EQ(trelk::ipv6_dest_add(index, &near), 0);
    EXPECT_EQ(trelk::ipv6_dest_add(index, &near), -EEXIST);
    EXPECT_NE(run("ip -d -6 route show dev tva").find("unicast fd00:66::1 proto boot"), std::string::npos);
    ASSERT_EQ(trelk::ipv6_gateway_add(index, &near), 0);
    EXPECT_NE(run("ip -d -6 route show default").find("unicast default via fd00:66::1 dev tva proto boot"),
              std::string::npos);
}

class ChildSetupTest : public PairTest {
protected:
    void SetUp() override
    {
        PairTest::SetUp();
        ASSERT_EQ(trelk::device_down("tvb"), 0);
        sh("ip link set lo down");
        sh("ip addr add 10.66.0.1/24 dev tva");
        netdev.ifindex = if_nametoindex("tvb");
        netdev.name = "inner0";
        netdev.ipv4.addr = ipv4("10.66.0.2");
        netdev.ipv4.prefix = 24;
        netdev.gateway = ipv4("10.66.0.1");
        netdev.flags = IFF_UP;
    }
    void TearDown() override
    {
        trelk::device_delete("tva");
        sh("ip link set lo down");
    }

    trelk::mini_netdev netdev;
};

TEST_F(ChildSetupTest, RenamesAddressesAndRoutes)
{
    ASSERT_EQ(trelk::setup_netdev_in_child(&netdev), 0);
    EXPECT_FALSE(exists("tvb"));
    EXPECT_EQ(if_nametoindex("inner0"), netdev.ifindex);
    EXPECT_TRUE(is_up("inner0"));
    EXPECT_TRUE(is_up("lo"));
    EXPECT_NE(run("ip -o -4 addr show dev inner0").find("inet 10.66.0.2/24"), std::string::npos);
    EXPECT_NE(run("ip -d -4 route show default").find("unicast default via 10.66.0.1 dev inner0 proto boot"),
              std::string::npos);
}

TEST_F(ChildSetupTest, EmptyNameTakesKernelNumber)
{
    netdev.name.clear();
    ASSERT_EQ(trelk::setup_netdev_in_child(&netdev), 0);
    EXPECT_EQ(if_nametoindex("eth0"), netdev.ifindex);
}

TEST_F(ChildSetupTest, GatewayOutsideSubnetGetsLinkRoute)
{
    netdev.ipv4.prefix = 32;
    ASSERT_EQ(trelk::setup_netdev_in_child(&netdev), 0);
    EXPECT_NE(run("ip -d -4 route show dev inner0").find("unicast 10.66.0.1 proto boot scope link"),
              std::string::npos);
    EXPECT_NE(run("ip -4 route show default").find("default via 10.66.0.1 dev inner0"),
              std::string::npos);
}

TEST_F(ChildSetupTest, Failures)
{
    trelk::mini_netdev none;
    EXPECT_EQ(trelk::setup_netdev_in_child(&none), 0);

    netdev.name = "0123456789abcdef";
    EXPECT_EQ(trelk::setup_netdev_in_child(&netdev), -1);
    EXPECT_TRUE(exists("tvb"));

    netdev.name = "inner0";
    netdev.flags = 0;
    EXPECT_EQ(trelk::setup_netdev_in_child(&netdev), -1);
    EXPECT_EQ(run("ip -4 route show default"), "");
}

TEST(HostSetup, PairOnBridge)
{
    sh("ip link add tbr0 type bridge");
    trelk::mini_netdev netdev;
    netdev.link = "tbr0";
    ASSERT_EQ(trelk::instantiate_veth(&netdev), 0);

    const char *host = netdev.host_name.c_str();
    EXPECT_EQ(netdev.host_name.size(), 10u);
    EXPECT_EQ(netdev.host_name.rfind("veth", 0), 0u);
    EXPECT_TRUE(is_up(host));
    EXPECT_EQ(mtu_of(host), 1500);
    EXPECT_NE(run("ip -o link show dev " + netdev.host_name).find("master tbr0"),
              std::string::npos);

    char peer[IF_NAMESIZE] = {};
    ASSERT_NE(if_indextoname(netdev.ifindex, peer), nullptr);
    EXPECT_EQ(std::string(peer).rfind("veth", 0), 0u);
    EXPECT_NE(netdev.host_name, peer);
    EXPECT_FALSE(is_up(peer));
    EXPECT_EQ(mtu_of(peer), 1500);

    EXPECT_EQ(trelk::device_delete(host), 0);
    EXPECT_FALSE(has_veth());
    sh("ip link del tbr0");
}

TEST(HostSetup, NoBridgeAndOtherMtu)
{
    trelk::mini_netdev netdev;
    netdev.mtu = 1400;
    ASSERT_EQ(trelk::instantiate_veth(&netdev), 0);
    EXPECT_EQ(mtu_of(netdev.host_name.c_str()), 1400);
    EXPECT_EQ(run("ip -o link show dev " + netdev.host_name).find("master"), std::string::npos);
    trelk::device_delete(netdev.host_name.c_str());
}

TEST(HostSetup, FailuresLeaveNoPair)
{
    trelk::mini_netdev netdev;
    netdev.link = "nosuchbridge";
    EXPECT_EQ(trelk::instantiate_veth(&netdev), -1);
    EXPECT_FALSE(has_veth());

    netdev.link.clear();
    netdev.mtu = 10;
    EXPECT_EQ(trelk::instantiate_veth(&netdev), -1);
    EXPECT_FALSE(has_veth());
}

TEST(Mkifname, ReplacesEveryXAndAvoidsNamesInUse)
{
    char tpl[IFNAMSIZ] = "vethXXXXXX";
    ASSERT_EQ(trelk::mkifname(tpl), tpl);
    ASSERT_EQ(strlen(tpl), 10u);
    EXPECT_EQ(strncmp(tpl, "veth", 4), 0);
    for (int i = 4; i < 10; ++i)
        EXPECT_TRUE(isdigit(tpl[i]) || isupper(tpl[i])) << tpl;

    // Every one-character candidate but "Z" is taken by a device.
    const std::string taken = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXY";
    for (char c : taken)
        sh(std::string("ip link add ") + c + " type bridge");
    for (int i = 0; i < 50; ++i) {
        char one[IFNAMSIZ] = "X";
        ASSERT_EQ(trelk::mkifname(one), one);
        EXPECT_STREQ(one, "Z");
    }
    // A name counts as taken when an existing one starts with it.
    sh("ip link add Zlong type bridge");
    char one[IFNAMSIZ] = "X";
    EXPECT_EQ(trelk::mkifname(one), nullptr);
    EXPECT_STREQ(one, "X");
    for (char c : taken)
        run(std::string("ip link del ") + c);
    run("ip link del Zlong");
}

TEST(Mkifname, TemplatesWithoutX)
{
    char free_name[IFNAMSIZ] = "abc";
    EXPECT_EQ(trelk::mkifname(free_name), free_name);
    EXPECT_STREQ(free_name, "abc");

    char taken[IFNAMSIZ] = "lo";
    EXPECT_EQ(trelk::mkifname(taken), nullptr);
    char prefix[IFNAMSIZ] = "l";
    EXPECT_EQ(trelk::mkifname(prefix), nullptr);

    char too_long[IFNAMSIZ + 1] = "vethXXXXXXXXXXXX";
    EXPECT_EQ(trelk::mkifname(too_long), nullptr);
    EXPECT_STREQ(too_long, "vethXXXXXXXXXXXX");
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    if (unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET)");
        return 1;
    }
    return RUN_ALL_TESTS();
}

// Byte layout of the rtnetlink requests behind the link, address and route
// operations, built by the same functions the operations use.
#include "trelk/auto_dev.h"
#include "trelk/network.h"
#include "trelk/nl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/veth.h>
#include <net/if.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using message = std::unique_ptr<nlmsg, trelk::nlmsg_delete>;

constexpr int create_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_EXCL | NLM_F_CREATE;
constexpr int ack_flags = NLM_F_REQUEST | NLM_F_ACK;

message fresh()
{
    return message(nlmsg_alloc(8192));
}

template <typename T>
T read_at(const nlmsg *msg, size_t offset)
{
    T value;
    memcpy(&value, reinterpret_cast<const char *>(msg->nlmsghdr) + offset, sizeof(T));
    return value;
}

std::string string_at(const nlmsg *msg, size_t offset, size_t len)
{
    return std::string(reinterpret_cast<const char *>(msg->nlmsghdr) + offset, len);
}

bool zero_bytes(const nlmsg *msg, size_t offset, size_t len)
{
    const auto *p = reinterpret_cast<const unsigned char *>(msg->nlmsghdr) + offset;
    for (size_t i = 0; i < len; ++i)
        if (p[i])
            return false;
    return true;
}

void expect_header(const nlmsg *msg, unsigned len, int type, int flags)
{
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, len);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_type, type);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_flags, flags);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_seq, 0u);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_pid, 0u);
}

void expect_attr(const nlmsg *msg, size_t offset, int len, int type)
{
    EXPECT_EQ(read_at<unsigned short>(msg, offset), len) << "rta_len at " << offset;
    EXPECT_EQ(read_at<unsigned short>(msg, offset + 2), type) << "rta_type at " << offset;
}


TEST(LinkRequest, VethPairOfTenCharacterNames)
{
    message msg = fresh();
    ASSERT_EQ(trelk::veth_create_request(msg.get(), "vethAAAAAA", "vethBBBBBB"), 0);

    expect_header(msg.get(), 104, RTM_NEWLINK, create_flags);
    EXPECT_TRUE(zero_bytes(msg.get(), 16, 16));
    expect_attr(msg.get(), 32, 56, IFLA_LINKINFO);
    expect_attr(msg.get(), 36, 9, IFLA_INFO_KIND);
    EXPECT_EQ(string_at(msg.get(), 40, 8), std::string("veth\0\0\0\0", 8));
    expect_attr(msg.get(), 48, 40, IFLA_INFO_DATA);
    expect_attr(msg.get(), 52, 36, VETH_INFO_PEER);
    EXPECT_TRUE(zero_bytes(msg.get(), 56, 16));
    expect_attr(msg.get(), 72, 15, IFLA_IFNAME);
    EXPECT_EQ(string_at(msg.get(), 76, 12), std::string("vethBBBBBB\0\0", 12));
    expect_attr(msg.get(), 88, 15, IFLA_IFNAME);
    EXPECT_EQ(string_at(msg.get(), 92, 12), std::string("vethAAAAAA\0\0", 12));
}

TEST(LinkRequest, VethPairRefusesWhatDoesNotFit)
{
    message none(nlmsg_alloc(0));
    EXPECT_EQ(trelk::veth_create_request(none.get(), "vethA", "vethB"), -ENOMEM);

    message header_only(nlmsg_alloc(sizeof(ifinfomsg)));
    EXPECT_EQ(trelk::veth_create_request(header_only.get(), "vethA", "vethB"), -EINVAL);

    // Room for the nests but not for the peer's ifinfomsg.
    message no_peer(nlmsg_alloc(16 + 4 + 12 + 4 + 4));
    EXPECT_EQ(trelk::veth_create_request(no_peer.get(), "vethA", "vethB"), -ENOMEM);
}

TEST(LinkRequest, MoveCarriesTargetPid)
{
    message msg = fresh();
    ASSERT_EQ(trelk::device_move_request(msg.get(), 7, 4242), 0);
    expect_header(msg.get(), 40, RTM_NEWLINK, ack_flags);
    EXPECT_EQ(read_at<int>(msg.get(), 16 + offsetof(ifinfomsg, ifi_index)), 7);
    expect_attr(msg.get(), 32, 8, IFLA_NET_NS_PID);
    EXPECT_EQ(read_at<unsigned>(msg.get(), 36), 4242u);
}

TEST(LinkRequest, MtuRenameAndDelete)
{
    message mtu = fresh();
    ASSERT_EQ(trelk::device_set_mtu_request(mtu.get(), 3, 1500), 0);
    expect_header(mtu.get(), 40, RTM_NEWLINK, ack_flags);
    EXPECT_EQ(read_at<int>(mtu.get(), 16 + offsetof(ifinfomsg, ifi_index)), 3);
    expect_attr(mtu.get(), 32, 8, IFLA_MTU);
    EXPECT_EQ(read_at<unsigned>(mtu.get(), 36), 1500u);

    message rename = fresh();
    ASSERT_EQ(trelk::device_rename_request(rename.get(), 9, "eth%d"), 0);
    expect_header(rename.get(), 44, RTM_NEWLINK, ack_flags);
    EXPECT_EQ(read_at<int>(rename.get(), 16 + offsetof(ifinfomsg, ifi_index)), 9);
    expect_attr(rename.get(), 32, 10, IFLA_IFNAME);
    EXPECT_EQ(string_at(rename.get(), 36, 8), std::string("eth%d\0\0\0", 8));

    message empty_name = fresh();
    ASSERT_EQ(trelk::device_rename_request(empty_name.get(), 9, ""), 0);
    expect_attr(empty_name.get(), 32, 5, IFLA_IFNAME);

    message del = fresh();
    ASSERT_EQ(trelk::device_delete_request(del.get(), 11), 0);
    expect_header(del.get(), 32, RTM_DELLINK, ack_flags);
    EXPECT_EQ(read_at<int>(del.get(), 16 + offsetof(ifinfomsg, ifi_index)), 11);
}

TEST(LinkRequest, UpAndDownChangeOnlyTheUpFlag)
{
    message up = fresh();
    ASSERT_EQ(trelk::device_set_flag_request(up.get(), 5, IFF_UP), 0);
    expect_header(up.get(), 32, RTM_NEWLINK, ack_flags);
    EXPECT_EQ(read_at<unsigned>(up.get(), 16 + offsetof(ifinfomsg, ifi_flags)), unsigned(IFF_UP));
    EXPECT_EQ(read_at<unsigned>(up.get(), 16 + offsetof(ifinfomsg, ifi_change)), unsigned(IFF_UP));

    message down = fresh();
    ASSERT_EQ(trelk::device_set_flag_request(down.get(), 5, 0), 0);
    EXPECT_EQ(read_at<unsigned>(down.get(), 16 + offsetof(ifinfomsg, ifi_flags)), 0u);
    EXPECT_EQ(read_at<unsigned>(down.get(), 16 + offsetof(ifinfomsg, ifi_change)), unsigned(IFF_UP));
}

TEST(AddressRequest, Ipv4CarriesAddressTwice)
{
    in_addr addr;
    ASSERT_EQ(inet_pton(AF_INET, "10.1.2.3", &addr), 1);
    message msg = fresh();
    ASSERT_EQ(trelk::ip_addr_add_request(msg.get(), AF_INET, 6, &addr, 24), 0);

    expect_header(msg.get(), 40, RTM_NEWADDR, create_flags);
    auto ifa = read_at<ifaddrmsg>(msg.get(), 16);
    EXPECT_EQ(ifa.ifa_family, AF_INET);
    EXPECT_EQ(ifa.ifa_prefixlen, 24);
    EXPECT_EQ(ifa.ifa_flags, 0);
    EXPECT_EQ(ifa.ifa_scope, RT_SCOPE_UNIVERSE);
    EXPECT_EQ(ifa.ifa_index, 6u);
    expect_attr(msg.get(), 24, 8, IFA_LOCAL);
    EXPECT_EQ(read_at<in_addr_t>(msg.get(), 28), addr.s_addr);
    expect_attr(msg.get(), 32, 8, IFA_ADDRESS);
    EXPECT_EQ(read_at<in_addr_t>(msg.get(), 36), addr.s_addr);
}

TEST(AddressRequest, PrefixKeepsLowEightBitsAndOtherFamiliesAreSixteenBytes)
{
    in6_addr addr;
    ASSERT_EQ(inet_pton(AF_INET6, "fd00::5", &addr), 1);
    message msg = fresh();
    ASSERT_EQ(trelk::ip_addr_add_request(msg.get(), AF_INET6, 2, &addr, 256 + 64), 0);
    expect_header(msg.get(), 64, RTM_NEWADDR, create_flags);
    EXPECT_EQ(read_at<ifaddrmsg>(msg.get(), 16).ifa_prefixlen, 64);
    expect_attr(msg.get(), 24, 20, IFA_LOCAL);
    EXPECT_EQ(memcmp(reinterpret_cast<char *>(msg->nlmsghdr) + 28, &addr, 16), 0);
    expect_attr(msg.get(), 44, 20, IFA_ADDRESS);

    message unknown = fresh();
    ASSERT_EQ(trelk::ip_addr_add_request(unknown.get(), AF_UNSPEC, 2, &addr, 8), 0);
    EXPECT_EQ(unknown->nlmsghdr->nlmsg_len, 64u);
}

TEST(RouteRequest, HostRouteOnTheLink)
{
    in_addr dest;
    ASSERT_EQ(inet_pton(AF_INET, "10.9.8.7", &dest), 1);
    message msg = fresh();
    ASSERT_EQ(trelk::ip_route_dest_add_request(msg.get(), AF_INET, 4, &dest), 0);

    expect_header(msg.get(), 44, RTM_NEWROUTE, create_flags);
    auto rt = read_at<rtmsg>(msg.get(), 16);
    EXPECT_EQ(rt.rtm_family, AF_INET);
    EXPECT_EQ(rt.rtm_dst_len, 32);
    EXPECT_EQ(rt.rtm_src_len, 0);
    EXPECT_EQ(rt.rtm_tos, 0);
    EXPECT_EQ(rt.rtm_table, RT_TABLE_MAIN);
    EXPECT_EQ(rt.rtm_protocol, RTPROT_BOOT);
    EXPECT_EQ(rt.rtm_scope, RT_SCOPE_LINK);
    EXPECT_EQ(rt.rtm_type, RTN_UNICAST);
    EXPECT_EQ(rt.rtm_flags, 0u);
    expect_attr(msg.get(), 28, 8, RTA_DST);
    EXPECT_EQ(read_at<in_addr_t>(msg.get(), 32), dest.s_addr);
    expect_attr(msg.get(), 36, 8, RTA_OIF);
    EXPECT_EQ(read_at<unsigned>(msg.get(), 40), 4u);

    in6_addr dest6;
    ASSERT_EQ(inet_pton(AF_INET6, "fd00::1", &dest6), 1);
    message msg6 = fresh();
    ASSERT_EQ(trelk::ip_route_dest_add_request(msg6.get(), AF_INET6, 4, &dest6), 0);
    expect_header(msg6.get(), 56, RTM_NEWROUTE, create_flags);
    EXPECT_EQ(read_at<rtmsg>(msg6.get(), 16).rtm_dst_len, 128);
    expect_attr(msg6.get(), 28, 20, RTA_DST);
    expect_attr(msg6.get(), 48, 8, RTA_OIF);
}

TEST(RouteRequest, DefaultRouteThroughGateway)
{
    in_addr any = {};
    message msg = fresh();
    ASSERT_EQ(trelk::ip_gateway_add_request(msg.get(), AF_INET, 12, &any), 0);

    expect_header(msg.get(), 44, RTM_NEWROUTE, create_flags);
    auto rt = read_at<rtmsg>(msg.get(), 16);
    EXPECT_EQ(rt.rtm_dst_len, 0);
    EXPECT_EQ(rt.rtm_scope, RT_SCOPE_UNIVERSE);
    EXPECT_EQ(rt.rtm_table, RT_TABLE_MAIN);
    EXPECT_EQ(rt.rtm_protocol, RTPROT_BOOT);
    EXPECT_EQ(rt.rtm_type, RTN_UNICAST);
    expect_attr(msg.get(), 28, 8, RTA_GATEWAY);
    EXPECT_EQ(read_at<in_addr_t>(msg.get(), 32), 0u);
    expect_attr(msg.get(), 36, 8, RTA_OIF);
    EXPECT_EQ(read_at<unsigned>(msg.get(), 40), 12u);

    in6_addr gw6;
    ASSERT_EQ(inet_pton(AF_INET6, "fd00::1", &gw6), 1);
    message msg6 = fresh();
    ASSERT_EQ(trelk::ip_gateway_add_request(msg6.get(), AF_INET6, 12, &gw6), 0);
    expect_header(msg6.get(), 56, RTM_NEWROUTE, create_flags);
    expect_attr(msg6.get(), 28, 20, RTA_GATEWAY);
}

TEST(RouteRequest, FullMessageGivesHeaderAndAttributeCodes)
{
    in_addr dest = {};
    message none(nlmsg_alloc(0));
    EXPECT_EQ(trelk::ip_route_dest_add_request(none.get(), AF_INET, 1, &dest), -ENOMEM);
    message header_only(nlmsg_alloc(sizeof(rtmsg)));
    EXPECT_EQ(trelk::ip_gateway_add_request(header_only.get(), AF_INET, 1, &dest), -EINVAL);
    message addr_header_only(nlmsg_alloc(sizeof(ifaddrmsg)));
    EXPECT_EQ(trelk::ip_addr_add_request(addr_header_only.get(), AF_INET, 1, &dest, 8), -EINVAL);
}

}  // namespace

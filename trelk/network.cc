#include "network.h"

#include "auto_dev.h"
#include "conf.h"
#include "kolt/auto_handle.h"
#include "kolt/make_deleter.h"
#include "kolt/rand.h"
#include "nl.h"
#include "support/auto_closer.h"

#include <ace/Log_Msg.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <linux/sockios.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace trelk {

namespace {

constexpr size_t request_size = 8192;
constexpr int ack_flags = NLM_F_REQUEST | NLM_F_ACK;
constexpr int create_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_EXCL | NLM_F_CREATE;

using handler_guard = std::unique_ptr<nl_handler, netlink_delete>;
using message = std::unique_ptr<nlmsg, nlmsg_delete>;

size_t addr_len(int family)
{
    return family == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
}

bool bad_name(const char *name)
{
    size_t len = strlen(name);
    return len == 1 || len >= IFNAMSIZ;
}

void set_header(nlmsg *msg, int type, int flags)
{
    msg->nlmsghdr->nlmsg_type = static_cast<__u16>(type);
    msg->nlmsghdr->nlmsg_flags = static_cast<__u16>(flags);
}

ifinfomsg *reserve_ifinfomsg(nlmsg *msg, int index)
{
    auto *ifi = static_cast<ifinfomsg *>(nlmsg_reserve(msg, sizeof(ifinfomsg)));
    if (ifi) {
        ifi->ifi_family = AF_UNSPEC;
        ifi->ifi_index = index;
    }
    return ifi;
}

rtmsg *reserve_rtmsg(nlmsg *msg, int family, int dst_len, int scope)
{
    auto *rt = static_cast<rtmsg *>(nlmsg_reserve(msg, sizeof(rtmsg)));
    if (rt) {
        rt->rtm_family = static_cast<unsigned char>(family);
        rt->rtm_dst_len = static_cast<unsigned char>(dst_len);
        rt->rtm_table = RT_TABLE_MAIN;
        rt->rtm_protocol = RTPROT_BOOT;
        rt->rtm_scope = static_cast<unsigned char>(scope);
        rt->rtm_type = RTN_UNICAST;
    }
    return rt;
}

// One request over a socket of its own. The reply goes to a buffer of its own,
// or back into the request when reply_in_request: an acknowledgement fits, and
// an error reply that quotes the request is cut short but still counts as
// received (its header claims more than arrived), so its code is read from its
// first bytes; netlink_rcv gives -EMSGSIZE only when a whole first message
// arrived and more was cut off behind it.
template <typename Build>
int exchange(Build build, bool reply_in_request = false)
{
    nl_handler handler;
    int err = netlink_open(&handler, NETLINK_ROUTE);
    if (err)
        return err;
    handler_guard guard(&handler);

    message request(nlmsg_alloc(request_size));
    message answer(reply_in_request ? nullptr : nlmsg_alloc_reserve(request_size));
    if (!request || (!reply_in_request && !answer))
        return -ENOMEM;
    err = build(request.get());
    if (err)
        return err;
    return netlink_transaction(&handler, request.get(),
                               reply_in_request ? request.get() : answer.get());
}

// A request addressed to an existing device by its name.
template <typename Build>
int exchange_on(const char *name, Build build)
{
    return exchange([&](nlmsg *request) {
        if (bad_name(name))
            return -EINVAL;
        int index = static_cast<int>(if_nametoindex(name));
        if (!index)
            return -EINVAL;
        return build(request, index);
    });
}

int device_set_flag(const char *name, int flag)
{
    return exchange_on(name, [flag](nlmsg *request, int index) {
        return device_set_flag_request(request, index, flag);
    });
}

int bridge_add_del_interface(const char *bridge, const char *ifname, int detach)
{
    if (strlen(bridge) >= IFNAMSIZ)
        return -1;
    int index = static_cast<int>(if_nametoindex(ifname));
    if (!index)
        return -1;
    Auto_Closer<int, Auto_Handle_Trait> sock(socket(AF_INET, SOCK_STREAM, 0));
    if (sock.get() < 0)
        return -1;

    ifreq ifr = {};
    strncpy(ifr.ifr_name, bridge, IFNAMSIZ);
    ifr.ifr_ifindex = index;
    return ioctl(sock.get(), detach ? SIOCBRDELIF : SIOCBRADDIF, &ifr);
}

int ip_addr_add(int family, int ifindex, void *addr, int prefix)
{
    return exchange([&](nlmsg *request) {
        return ip_addr_add_request(request, family, ifindex, addr, prefix);
    });
}

int setup_ipv4_addr(inetdev &ip, int ifindex)
{
    return ip_addr_add(AF_INET, ifindex, &ip.addr, ip.prefix) ? -1 : 0;
}

int ip_route_dest_add(int family, int ifindex, void *dest)
{
    return exchange([&](nlmsg *request) {
        return ip_route_dest_add_request(request, family, ifindex, dest);
    });
}

int ip_gateway_add(int family, int ifindex, void *gw)
{
    return exchange([&](nlmsg *request) {
        return ip_gateway_add_request(request, family, ifindex, gw);
    });
}

}  // namespace

int veth_create_request(nlmsg *msg, const char *name1, const char *name2)
{
    set_header(msg, RTM_NEWLINK, create_flags);
    if (!reserve_ifinfomsg(msg, 0))
        return -ENOMEM;

    rtattr *linkinfo = nla_begin_nested(msg, IFLA_LINKINFO);
    if (!linkinfo || nla_put_string(msg, IFLA_INFO_KIND, "veth"))
        return -EINVAL;
    rtattr *data = nla_begin_nested(msg, IFLA_INFO_DATA);
    if (!data)
        return -EINVAL;
    rtattr *peer = nla_begin_nested(msg, VETH_INFO_PEER);
    if (!peer)
        return -EINVAL;
    if (!reserve_ifinfomsg(msg, 0))
        return -ENOMEM;
    if (nla_put_string(msg, IFLA_IFNAME, name2))
        return -EINVAL;
    nla_end_nested(msg, peer);
    nla_end_nested(msg, data);
    nla_end_nested(msg, linkinfo);

    return nla_put_string(msg, IFLA_IFNAME, name1) ? -EINVAL : 0;
}

int device_move_request(nlmsg *msg, int ifindex, int pid)
{
    set_header(msg, RTM_NEWLINK, ack_flags);
    if (!reserve_ifinfomsg(msg, ifindex))
        return -ENOMEM;
    return nla_put_u32(msg, IFLA_NET_NS_PID, pid) ? -ENOMEM : 0;
}

int device_set_mtu_request(nlmsg *msg, int ifindex, int mtu)
{
    set_header(msg, RTM_NEWLINK, ack_flags);
    if (!reserve_ifinfomsg(msg, ifindex))
        return -ENOMEM;
    return nla_put_u32(msg, IFLA_MTU, mtu) ? -EINVAL : 0;
}

int device_rename_request(nlmsg *msg, int ifindex, const char *newname)
{
    set_header(msg, RTM_NEWLINK, ack_flags);
    if (!reserve_ifinfomsg(msg, ifindex))
        return -ENOMEM;
    return nla_put_string(msg, IFLA_IFNAME, newname) ? -ENOMEM : 0;
}

int device_set_flag_request(nlmsg *msg, int ifindex, int flag)
{
    set_header(msg, RTM_NEWLINK, ack_flags);
    ifinfomsg *ifi = reserve_ifinfomsg(msg, ifindex);
    if (!ifi)
        return -ENOMEM;
    ifi->ifi_flags = static_cast<unsigned>(flag);
    ifi->ifi_change = IFF_UP;
    return 0;
}

int device_delete_request(nlmsg *msg, int ifindex)
{
    set_header(msg, RTM_DELLINK, ack_flags);
    return reserve_ifinfomsg(msg, ifindex) ? 0 : -EINVAL;
}

int ip_addr_add_request(nlmsg *msg, int family, int ifindex, const void *addr, int prefix)
{
    set_header(msg, RTM_NEWADDR, create_flags);
    auto *ifa = static_cast<ifaddrmsg *>(nlmsg_reserve(msg, sizeof(ifaddrmsg)));
    if (!ifa)
        return -ENOMEM;
    ifa->ifa_family = static_cast<unsigned char>(family);
    ifa->ifa_prefixlen = static_cast<unsigned char>(prefix);
    ifa->ifa_scope = RT_SCOPE_UNIVERSE;
    ifa->ifa_index = static_cast<unsigned>(ifindex);

    size_t len = addr_len(family);
    if (nla_put_buffer(msg, IFA_LOCAL, addr, len) || nla_put_buffer(msg, IFA_ADDRESS, addr, len))
        return -EINVAL;
    return 0;
}

int ip_route_dest_add_request(nlmsg *msg, int family, int ifindex, const void *dest)
{
    size_t len = addr_len(family);
    set_header(msg, RTM_NEWROUTE, create_flags);
    if (!reserve_rtmsg(msg, family, static_cast<int>(len * 8), RT_SCOPE_LINK))
        return -ENOMEM;
    if (nla_put_buffer(msg, RTA_DST, dest, len) || nla_put_u32(msg, RTA_OIF, ifindex))
        return -EINVAL;
    return 0;
}

int ip_gateway_add_request(nlmsg *msg, int family, int ifindex, const void *gw)
{
    set_header(msg, RTM_NEWROUTE, create_flags);
    if (!reserve_rtmsg(msg, family, 0, RT_SCOPE_UNIVERSE))
        return -ENOMEM;
    if (nla_put_buffer(msg, RTA_GATEWAY, gw, addr_len(family)) ||
        nla_put_u32(msg, RTA_OIF, ifindex))
        return -EINVAL;
    return 0;
}

int veth_create(const char *name1, const char *name2)
{
    return exchange([&](nlmsg *request) {
        if (bad_name(name1) || bad_name(name2))
            return -EINVAL;
        return veth_create_request(request, name1, name2);
    });
}

int device_move(int ifindex, int pid)
{
    return exchange([&](nlmsg *request) { return device_move_request(request, ifindex, pid); },
                    true);
}

int device_set_mtu(const char *name, int mtu)
{
    return exchange_on(name, [mtu](nlmsg *request, int index) {
        return device_set_mtu_request(request, index, mtu);
    });
}

int device_rename(const char *oldname, const char *newname)
{
    return exchange_on(oldname, [newname](nlmsg *request, int index) {
        if (bad_name(newname))
            return -EINVAL;
        return device_rename_request(request, index, newname);
    });
}

int device_up(const char *name)
{
    return device_set_flag(name, IFF_UP);
}

int device_down(const char *name)
{
    return device_set_flag(name, 0);
}

int device_delete(const char *name)
{
    return exchange_on(name, [](nlmsg *request, int index) {
        return device_delete_request(request, index);
    });
}

int bridge_attach(const char *bridge, const char *ifname)
{
    return bridge_add_del_interface(bridge, ifname, 0);
}

int bridge_detach(const char *bridge, const char *ifname)
{
    return bridge_add_del_interface(bridge, ifname, 1);
}

int ipv4_dest_add(int ifindex, in_addr *dest)
{
    return ip_route_dest_add(AF_INET, ifindex, dest);
}

int ipv6_dest_add(int ifindex, in6_addr *dest)
{
    return ip_route_dest_add(AF_INET6, ifindex, dest);
}

int ipv4_gateway_add(int ifindex, in_addr *gw)
{
    return ip_gateway_add(AF_INET, ifindex, gw);
}

int ipv6_gateway_add(int ifindex, in6_addr *gw)
{
    return ip_gateway_add(AF_INET6, ifindex, gw);
}

namespace {

// A template of six 'X' gives 36^6 names; the bound only matters for templates
// with few or no 'X' whose every candidate is in use.
constexpr int mkifname_attempts = 1000;

struct random_ifname_char {
    char operator()(char c) const { return c == 'X' ? kolt::rand_char(kolt::RCS_NUM_UPPER) : c; }
};

// Also a name that is a prefix of an existing one counts as taken.
bool ifname_taken(const ifaddrs *list, const char *candidate, size_t len)
{
    for (const ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (ifa->ifa_name && strncmp(ifa->ifa_name, candidate, len) == 0)
            return true;
    }
    return false;
}

}  // namespace

char *mkifname(char *tpl)
{
    size_t len = strlen(tpl);
    if (len >= IFNAMSIZ)
        return nullptr;

    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        list = nullptr;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> list_guard(list, freeifaddrs);

    char candidate[IFNAMSIZ] = {};
    for (int attempt = 0; attempt < mkifname_attempts; ++attempt) {
        std::transform(tpl, tpl + len, candidate, random_ifname_char());
        if (memchr(candidate, '\0', len))
            return nullptr;  // no random source
        if (!ifname_taken(list, candidate, len)) {
            memcpy(tpl, candidate, len);
            tpl[len] = '\0';
            return tpl;
        }
    }
    return nullptr;
}

int instantiate_veth(mini_netdev *netdev)
{
    char veth1buf[IFNAMSIZ] = "vethXXXXXX";
    char veth2[IFNAMSIZ] = "vethXXXXXX";
    char *veth1 = veth1buf;

    if (!mkifname(veth1) || !mkifname(veth2)) {
        ACE_ERROR((LM_ERROR, "Failed to allocate a temporary name\n"));
        return -1;
    }
    if (veth_create(veth1, veth2)) {
        ACE_ERROR((LM_ERROR, "Failed to create %C-%C\n", veth1, veth2));
        return -1;
    }
    auto device_deleter = make_deleter(veth1, device_delete);

    if (netdev->mtu) {
        if (device_set_mtu(veth1, netdev->mtu) || device_set_mtu(veth2, netdev->mtu)) {
            ACE_ERROR((LM_ERROR, "Failed to set mtu '%d' for %C-%C\n", netdev->mtu, veth1, veth2));
            return -1;
        }
    }
    if (!netdev->link.empty() && bridge_attach(netdev->link.c_str(), veth1)) {
        ACE_ERROR((LM_ERROR, "Failed to attach '%C' to the bridge '%C'\n", veth1,
                   netdev->link.c_str()));
        return -1;
    }
    netdev->ifindex = if_nametoindex(veth2);
    if (!netdev->ifindex) {
        ACE_ERROR((LM_ERROR, "Failed to retrieve the index for %C\n", veth2));
        return -1;
    }
    if (device_up(veth1)) {
        ACE_ERROR((LM_ERROR, "Failed to set %s up\n", veth1));
        return -1;
    }

    ACE_DEBUG((LM_INFO, "instantiate veth '%C/%C', index is '%d'\n", veth1, veth2,
               netdev->ifindex));
    netdev->host_name = veth1;
    device_deleter.release();
    return 0;
}

namespace {

int add_ipv4_gateway(mini_netdev *netdev)
{
    int ifindex = static_cast<int>(netdev->ifindex);
    if (ipv4_gateway_add(ifindex, &netdev->gateway) == 0)
        return 0;

    // The kernel refuses a gateway outside the device's subnets: route to it
    // on the link first.
    int err = ipv4_dest_add(ifindex, &netdev->gateway);
    if (err) {
        ACE_ERROR((LM_ERROR, "Failed to add ipv4 dest for network device \"%C\": %C\n",
                   netdev->name.c_str(), strerror(-err)));
        return -1;
    }
    err = ipv4_gateway_add(ifindex, &netdev->gateway);
    if (err) {
        ACE_ERROR((LM_ERROR, "Failed to setup ipv4 gateway for network device \"%C\": %C\n",
                   netdev->name.c_str(), strerror(-err)));
        return -1;
    }
    return 0;
}

}  // namespace

int setup_netdev_in_child(mini_netdev *netdev)
{
    if (!netdev->ifindex)
        return 0;

    char ifname[IFNAMSIZ];
    if (!if_indextoname(netdev->ifindex, ifname)) {
        ACE_ERROR((LM_ERROR, "no interface corresponding to index '%d'\n", netdev->ifindex));
        return -1;
    }
    if (netdev->name.empty())
        netdev->name = "eth%d";
    if (device_rename(ifname, netdev->name.c_str())) {
        ACE_ERROR((LM_ERROR, "Failed to rename %C->%C\n", ifname, netdev->name.c_str()));
        return -1;
    }
    // The kernel picks the number of an "eth%d" name.
    if (!if_indextoname(netdev->ifindex, ifname)) {
        ACE_ERROR((LM_ERROR, "no interface corresponding to index '%d'\n", netdev->ifindex));
        return -1;
    }
    if (setup_ipv4_addr(netdev->ipv4, static_cast<int>(netdev->ifindex))) {
        ACE_ERROR((LM_ERROR, "Failed to setup ip addresses for '%C'\n", ifname));
        return -1;
    }
    if (device_up(ifname)) {
        ACE_ERROR((LM_ERROR, "Failed to set '%C' up\n", ifname));
        return -1;
    }
    if (device_up("lo")) {
        ACE_ERROR((LM_ERROR, "Failed to set the loopback up\n"));
        return -1;
    }
    if (!(netdev->flags & IFF_UP)) {
        ACE_ERROR((LM_ERROR,
                   "Cannot add ipv4 gateway for network device \"%C\" when not bringing up the "
                   "interface\n",
                   netdev->name.c_str()));
        return -1;
    }
    if (add_ipv4_gateway(netdev))
        return -1;

    ACE_DEBUG((LM_INFO, "'%C' has been setup\n", ifname));
    return 0;
}

}  // namespace trelk

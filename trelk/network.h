// Container networking: link, address and route operations, and the two halves
// of the container's network device setup.
#pragma once

#include <netinet/in.h>

struct nlmsg;

namespace trelk {

struct mini_netdev;

// Link operations: one kernel request each; 0 or a negative errno.
int veth_create(const char *name1, const char *name2);
int device_move(int ifindex, int pid);
int device_set_mtu(const char *name, int mtu);
int device_rename(const char *oldname, const char *newname);
int device_up(const char *name);
int device_down(const char *name);
int device_delete(const char *name);
int bridge_attach(const char *bridge, const char *ifname);
int bridge_detach(const char *bridge, const char *ifname);

// Address and route operations: one kernel request each; 0 or a negative errno.
// dest_add adds a link-scope host route to dest; gateway_add the default route
// through gw. Both leave the interface by ifindex.
int ipv4_dest_add(int ifindex, in_addr *dest);
int ipv6_dest_add(int ifindex, in6_addr *dest);
int ipv4_gateway_add(int ifindex, in_addr *gw);
int ipv6_gateway_add(int ifindex, in6_addr *gw);

// The requests behind the operations above, written into an empty message from
// nlmsg_alloc: 0, or the operation's negative errno when the message is full.
// Addresses are 4 bytes for AF_INET and 16 for any other family.
int veth_create_request(nlmsg *msg, const char *name1, const char *name2);
int device_move_request(nlmsg *msg, int ifindex, int pid);
int device_set_mtu_request(nlmsg *msg, int ifindex, int mtu);
int device_rename_request(nlmsg *msg, int ifindex, const char *newname);
int device_set_flag_request(nlmsg *msg, int ifindex, int flag);
int device_delete_request(nlmsg *msg, int ifindex);
int ip_addr_add_request(nlmsg *msg, int family, int ifindex, const void *addr, int prefix);
int ip_route_dest_add_request(nlmsg *msg, int family, int ifindex, const void *dest);
int ip_gateway_add_request(nlmsg *msg, int family, int ifindex, const void *gw);

// Host half, in the launcher before the child exists: creates the veth pair,
// puts the host end on the bridge and brings it up, and leaves the container
// end's index in netdev->ifindex and the host end's name in netdev->host_name.
// 0, or -1 after logging.
int instantiate_veth(mini_netdev *netdev);

// Container half, in the child after the device was moved into its namespace:
// renames and addresses the device, brings it and loopback up, adds the default
// route. 0, or -1 after logging.
int setup_netdev_in_child(mini_netdev *netdev);

// Random interface name: every 'X' of tpl becomes a digit or upper-case letter,
// so that no interface present now has a name starting with the result. tpl,
// rewritten in place, or null when tpl is too long or no free name was found.
char *mkifname(char *tpl);

}  // namespace trelk

// Container networking: link, address and route operations, and the two halves
// of the container's network device setup.
#pragma once

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
// avoiding names in use; tpl, or null.
char *mkifname(char *tpl);

}  // namespace trelk

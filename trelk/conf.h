// The launcher's configuration records, their loading from the command line
// and the JSON file, and the container's root filesystem setup.
#pragma once

#include <map>
#include <memory>
#include <netinet/in.h>
#include <string>

namespace trelk {

struct inetdev {
    in_addr addr{};
    in_addr bcast{};
    int prefix = 0;
};

struct mini_netdev {
    int mtu = 1500;
    std::string link;
    std::string name;
    unsigned int ifindex = 0;
    inetdev ipv4{};
    in_addr gateway{};
    int flags = 0;
    std::string host_name;  // host end of the veth pair
};

struct config {
    std::string target;
    const char **command = nullptr;
    std::unique_ptr<mini_netdev> network;
    std::map<std::string, std::string> bind_dirs;
    std::string pidfile;
    int sv[2] = {-1, -1};  // [0] the child's end, [1] the launcher's
};

bool load_config(int argc, char **argv, config *conf);
int config_network_ipv4(const std::string &s, inetdev *d);
int config_ip_prefix(const in_addr *addr);

int setup(config *conf);
int setup_pivot_root(config *conf);
bool is_directory(const char *path);

}  // namespace trelk

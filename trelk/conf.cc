#include "trelk/conf.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_stat.h>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <grp.h>
#include <net/if.h>
#include <new>
#include <stdexcept>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kolt/fs.h"
#include "kolt/json.h"
#include "kolt/path.h"
#include "support/extract.h"
#include "support/snprintf_t.h"
#include "support/string_arg.h"
#include "trelk/network.h"

namespace trelk {
namespace {

bool parse_inet(const std::string &text, in_addr *out)
{
    if (inet_pton(AF_INET, text.c_str(), out) > 0)
        return true;
    ACE_ERROR((LM_ERROR, "Failed to inet_pton with '%C'\n", text.c_str()));
    return false;
}

bool load_network(const json_spirit::Object &net, config *conf)
{
    mini_netdev *dev = new (std::nothrow) mini_netdev;
    if (!dev) {
        errno = ENOMEM;
        return false;
    }
    conf->network.reset(dev);
    dev->flags = IFF_UP;
    extract_or_throw(net)("name", dev->name, true)("link", dev->link, true);
    if (config_network_ipv4(json_spirit::object_get_str_or_throw(net, "ipv4"), &dev->ipv4) < 0)
        return false;
    return parse_inet(json_spirit::object_get_str_or_throw(net, "gateway"), &dev->gateway);
}

bool load_config_object(json_spirit::Value &value, char **argv, config *conf)
{
    json_spirit::Object &root = value.get_obj();
    for (const auto &member : root["bind_dirs"].get_obj())
        conf->bind_dirs[member.first] = member.second.get_str();
    conf->target = root["target"].get_str();
    conf->pidfile = root["pidfile"].get_str();
    if (const json_spirit::Object *net = json_spirit::object_get_object(root, "net")) {
        if (!load_network(*net, conf))
            return false;
    }
    conf->command = const_cast<const char **>(argv + 2);
    return true;
}

}  // namespace

bool load_config(int argc, char **argv, config *conf)
{
    if (argc < 3 || !conf) {
        ACE_ERROR((LM_ERROR, "Invalid argument on load_config\n"));
        return false;
    }
    json_spirit::Value value;
    if (!load_json(argv[1], value, 1))
        return false;
    try {
        return load_config_object(value, argv, conf);
    } catch (const std::exception &e) {
        ACE_ERROR((LM_ERROR, "Exception catch on load_config, error='%C'\n", e.what()));
        return false;
    }
}

int config_network_ipv4(const std::string &s, inetdev *d)
{
    const size_t slash = s.find('/');
    const size_t p = slash == std::string::npos ? s.size() : slash;
    if (!parse_inet(s.substr(0, p), &d->addr))
        return -1;
    const size_t space = s.rfind(' ');
    if (space != std::string::npos && !parse_inet(s.substr(space + 1), &d->bcast))
        return -1;
    if (p + 1 < s.size())
        d->prefix = std::atoi(s.c_str() + p + 1);
    else
        d->prefix = config_ip_prefix(&d->addr);
    return 0;
}

int config_ip_prefix(const in_addr *addr)
{
    const unsigned first_octet = ntohl(addr->s_addr) >> 24;
    if (first_octet < 128)
        return 8;
    if (first_octet < 192)
        return 16;
    if (first_octet < 224)
        return 24;
    return 0;
}

bool is_directory(const char *path)
{
    ACE_stat st;
    return ACE_OS::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

constexpr unsigned mount_point_mode = 0750;

int bind_directories(const config *conf)
{
    for (const auto &dir : conf->bind_dirs) {
        const char *source = dir.first.c_str();
        if (!is_directory(source))
            continue;
        kolt::Path_T<char> dest('/', false);
        dest = conf->target;
        dest << Basic_String_Arg<char>(dir.second);
        if (mkdir_p(dest.c_str(), mount_point_mode, {}) != 0)
            continue;
        if (mount(source, dest.c_str(), "bind", MS_BIND | MS_REC, "") != 0) {
            ACE_ERROR((LM_ERROR, "Failed to bind '%s' to '%s': errno=%d, %m\n", source, dest.c_str(), errno));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int setup(config *conf)
{
    if (conf->network && setup_netdev_in_child(conf->network.get()) < 0) {
        ACE_ERROR((LM_ERROR, "Failed to setup netdev\n"));
        return 1;
    }
    if (mount("", "/", "", MS_REC | MS_PRIVATE, "") != 0) {
        ACE_ERROR((LM_ERROR, "Failed to make current root private: errno=%d, %m\n", errno));
        return 1;
    }
    const char *target = conf->target.c_str();
    if (mount(target, target, "bind", MS_BIND | MS_REC, "") != 0) {
        ACE_ERROR((LM_ERROR, "Failed to turn new root into mountpoint: errno=%d, %m\n", errno));
        return 1;
    }
    if (bind_directories(conf) != 0)
        return 1;
    if (int rc = setup_pivot_root(conf))
        return rc;
    if (setgroups(0, nullptr) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to drop additional groups: %m\n"));
        return 1;
    }
    if (chdir("/") != 0) {
        ACE_ERROR((LM_ERROR, "Failed to chdir to \"/\"\n"));
        return 1;
    }
    return 0;
}

int setup_pivot_root(config *conf)
{
    const char *target = conf->target.c_str();
    snprintf_t<4096, char> put_old("%s/tmp/.pivotrootXXXXXX", target);
    if (!mkdtemp(put_old.data())) {
        ACE_ERROR((LM_ERROR, "Failed to create temporary directory for pivot root: errno=%d, %m\n", errno));
        return 1;
    }
    if (syscall(SYS_pivot_root, target, put_old.c_str()) != 0) {
        const int err = errno;
        rmdir(put_old.c_str());
        errno = err;
        ACE_ERROR((LM_ERROR, "Failed to pivot root to %s: errno=%d, %m\n", target, err));
        return 1;
    }
    // The put-old directory, as seen from the new root.
    const char *old_root = put_old.c_str() + conf->target.size();
    if (umount2(old_root, MNT_DETACH) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to umount old root: errno=%d, %m\n", errno));
        return 1;
    }
    if (rmdir(old_root) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to remove directory for old root: errno=%d, %m\n", errno));
        return 1;
    }
    return 0;
}

}  // namespace trelk

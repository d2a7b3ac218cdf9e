#include "trelk/conf.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_stat.h>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <new>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "kolt/fs.h"
#include "kolt/json.h"
#include "kolt/path.h"
#include "support/auto_closer.h"
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

// Every string of the file ends up as a C string: a NUL inside would silently
// cut it short for the kernel while the launcher went on with the whole text.
const std::string &checked(const std::string &value, const std::string &what)
{
    if (value.find('\0') != std::string::npos)
        throw std::runtime_error(what + " contains a NUL character");
    return value;
}

// A bind destination names a place inside the target, below its root: ".."
// would leave it, and a path of nothing but "/" and "." would cover the root.
const std::string &checked_destination(const std::string &dest)
{
    checked(dest, "bind destination");
    bool below_root = false;
    for (size_t pos = 0; pos <= dest.size();) {
        size_t end = dest.find('/', pos);
        if (end == std::string::npos)
            end = dest.size();
        if (dest.compare(pos, end - pos, "..") == 0)
            throw std::runtime_error("bind destination '" + dest + "' leaves the target");
        if (end > pos && dest.compare(pos, end - pos, ".") != 0)
            below_root = true;
        pos = end + 1;
    }
    if (!below_root)
        throw std::runtime_error("bind destination '" + dest + "' is the target's root");
    return dest;
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
    checked(dev->name, "member 'name'");
    checked(dev->link, "member 'link'");
    if (config_network_ipv4(checked(json_spirit::object_get_str_or_throw(net, "ipv4"), "member 'ipv4'"),
                            &dev->ipv4) < 0)
        return false;
    return parse_inet(checked(json_spirit::object_get_str_or_throw(net, "gateway"), "member 'gateway'"),
                      &dev->gateway);
}

bool load_config_object(json_spirit::Value &value, char **argv, config *conf)
{
    json_spirit::Object &root = value.get_obj();
    for (const auto &member : root["bind_dirs"].get_obj())
        conf->bind_dirs[checked(member.first, "bind source")] = checked_destination(member.second.get_str());
    conf->target = checked(root["target"].get_str(), "member 'target'");
    conf->pidfile = checked(root["pidfile"].get_str(), "member 'pidfile'");
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

// "A.B.C.D[/PREFIX][ BROADCAST]"; an empty prefix means the classful one.
int config_network_ipv4(const std::string &s, inetdev *d)
{
    const size_t slash = s.find('/');
    const size_t p = slash == std::string::npos ? s.size() : slash;
    if (!parse_inet(s.substr(0, p), &d->addr))
        return -1;
    const size_t space = s.find(' ', p);
    if (space != std::string::npos && !parse_inet(s.substr(space + 1), &d->bcast))
        return -1;
    const std::string prefix = p < s.size() ? s.substr(p + 1, space - p - 1) : std::string();
    if (prefix.empty()) {
        d->prefix = config_ip_prefix(&d->addr);
        return 0;
    }
    if (prefix.size() > 2 || prefix.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(prefix.c_str()) > 32) {
        ACE_ERROR((LM_ERROR, "Invalid prefix length in '%C'\n", s.c_str()));
        return -1;
    }
    d->prefix = std::atoi(prefix.c_str());
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

using Fd = Auto_Closer<int, Auto_Handle_Trait>;

// Opens the directory `dest` below `root`, creating missing components. Each
// component is opened without following a symbolic link, so nothing in the
// target (a link to a host path, a link replaced behind our back) can lead the
// walk out of it. 0 with `dir` holding the directory, or -1 with errno set.
int open_destination(int root, const std::string &dest, Fd &dir)
{
    dir.reset(fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (dir.get() < 0)
        return -1;
    for (size_t pos = 0; pos < dest.size();) {
        size_t end = dest.find('/', pos);
        if (end == std::string::npos)
            end = dest.size();
        const std::string name = dest.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            errno = EPERM;
            return -1;
        }
        if (mkdirat(dir.get(), name.c_str(), mount_point_mode) != 0 && errno != EEXIST)
            return -1;
        const int next = openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return -1;
        dir.reset(next);
    }
    return 0;
}

int bind_directories(const config *conf)
{
    Fd root(open(conf->target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
        ACE_ERROR((LM_ERROR, "Failed to open new root %s: errno=%d, %m\n", conf->target.c_str(), errno));
        return 1;
    }
    for (const auto &dir : conf->bind_dirs) {
        const char *source = dir.first.c_str();
        if (!is_directory(source))
            continue;
        kolt::Path_T<char> dest('/', false);
        dest = conf->target;
        dest << Basic_String_Arg<char>(dir.second);
        Fd mount_point(Auto_Handle_Trait::invalid_handle);
        if (open_destination(root.get(), dir.second, mount_point) != 0) {
            ACE_ERROR((LM_ERROR, "Failed to create bind destination '%s': errno=%d, %m\n", dest.c_str(), errno));
            return 1;
        }
        // Mounting through the descriptor binds exactly the directory walked
        // to above; a path would be looked up again.
        snprintf_t<64, char> at("/proc/self/fd/%d", mount_point.get());
        if (mount(source, at.c_str(), "bind", MS_BIND | MS_REC, "") != 0) {
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
    // The put-old directory is made and used through descriptors, so a link
    // that an earlier container left at its /tmp leads nowhere.
    Fd root(open(target, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd tmp(root.get() < 0 ? Auto_Handle_Trait::invalid_handle
                          : openat(root.get(), "tmp", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    auto make_dir = [](int dir, const char *name) { return mkdirat(dir, name, S_IRWXU); };
    std::string put_old;
    if (tmp.get() < 0 || make_unique_at(tmp.get(), ".pivotrootXXXXXX", put_old, make_dir) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to create temporary directory for pivot root: errno=%d, %m\n", errno));
        return 1;
    }
    // From /tmp the put-old directory is one name away, before and after the
    // pivot (which leaves a working directory that is not the old root).
    if (fchdir(tmp.get()) != 0 || syscall(SYS_pivot_root, target, put_old.c_str()) != 0) {
        const int err = errno;
        unlinkat(tmp.get(), put_old.c_str(), AT_REMOVEDIR);
        errno = err;
        ACE_ERROR((LM_ERROR, "Failed to pivot root to %s: errno=%d, %m\n", target, err));
        return 1;
    }
    if (umount2(put_old.c_str(), MNT_DETACH) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to umount old root: errno=%d, %m\n", errno));
        return 1;
    }
    if (unlinkat(tmp.get(), put_old.c_str(), AT_REMOVEDIR) != 0) {
        ACE_ERROR((LM_ERROR, "Failed to remove directory for old root: errno=%d, %m\n", errno));
        return 1;
    }
    return 0;
}

}  // namespace trelk

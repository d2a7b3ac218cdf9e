#include "nl.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

char *buffer_of(struct nlmsg *nlmsg)
{
    return reinterpret_cast<char *>(nlmsg->nlmsghdr);
}

char *tail_of(struct nlmsg *nlmsg)
{
    return buffer_of(nlmsg) + NLMSG_ALIGN(nlmsg->nlmsghdr->nlmsg_len);
}

int close_with(struct nl_handler *handler, int err)
{
    close(handler->fd);
    return err;
}

}  // namespace

struct nlmsg *nlmsg_alloc(size_t size)
{
    auto *nlmsg = static_cast<struct nlmsg *>(calloc(1, sizeof(struct nlmsg)));
    if (!nlmsg)
        return nullptr;
    size_t cap = NLMSG_ALIGN(size) + NLMSG_HDRLEN;
    nlmsg->nlmsghdr = static_cast<struct nlmsghdr *>(calloc(1, cap));
    if (!nlmsg->nlmsghdr) {
        free(nlmsg);
        return nullptr;
    }
    nlmsg->cap = static_cast<ssize_t>(cap);
    nlmsg->nlmsghdr->nlmsg_len = NLMSG_HDRLEN;
    return nlmsg;
}

struct nlmsg *nlmsg_alloc_reserve(size_t size)
{
    struct nlmsg *nlmsg = nlmsg_alloc(size);
    if (nlmsg)
        nlmsg->nlmsghdr->nlmsg_len = static_cast<__u32>(nlmsg->cap);
    return nlmsg;
}

void nlmsg_free(struct nlmsg *nlmsg)
{
    if (!nlmsg)
        return;
    free(nlmsg->nlmsghdr);
    free(nlmsg);
}

void *nlmsg_reserve(struct nlmsg *nlmsg, size_t len)
{
    size_t aligned = NLMSG_ALIGN(len);
    size_t used = nlmsg->nlmsghdr->nlmsg_len;
    if (used + aligned > static_cast<size_t>(nlmsg->cap))
        return nullptr;
    char *buf = buffer_of(nlmsg) + used;
    memset(buf + len, 0, aligned - len);
    nlmsg->nlmsghdr->nlmsg_len = static_cast<__u32>(used + aligned);
    return buf;
}

size_t nlmsg_len(const struct nlmsg *nlmsg)
{
    return nlmsg->nlmsghdr->nlmsg_len - NLMSG_HDRLEN;
}

void *nlmsg_data(struct nlmsg *nlmsg)
{
    if (nlmsg_len(nlmsg) == 0)
        return nullptr;
    return buffer_of(nlmsg) + NLMSG_HDRLEN;
}

int nla_put(struct nlmsg *nlmsg, int attr, const void *data, size_t len)
{
    size_t rtalen = RTA_LENGTH(len);
    size_t new_len = NLMSG_ALIGN(nlmsg->nlmsghdr->nlmsg_len) + RTA_ALIGN(rtalen);
    // rta_len is 16 bits wide: a longer attribute cannot be described.
    if (new_len > static_cast<size_t>(nlmsg->cap) || rtalen > USHRT_MAX)
        return -ENOMEM;
    auto *rta = reinterpret_cast<struct rtattr *>(tail_of(nlmsg));
    rta->rta_type = static_cast<unsigned short>(attr);
    rta->rta_len = static_cast<unsigned short>(rtalen);
    if (len)
        memcpy(RTA_DATA(rta), data, len);
    nlmsg->nlmsghdr->nlmsg_len = static_cast<__u32>(new_len);
    return 0;
}

int nla_put_buffer(struct nlmsg *nlmsg, int attr, const void *data, size_t size)
{
    return nla_put(nlmsg, attr, data, size);
}

int nla_put_string(struct nlmsg *nlmsg, int attr, const char *string)
{
    return nla_put(nlmsg, attr, string, strlen(string) + 1);
}

int nla_put_u32(struct nlmsg *nlmsg, int attr, int value)
{
    return nla_put(nlmsg, attr, &value, sizeof(value));
}

int nla_put_u16(struct nlmsg *nlmsg, int attr, unsigned short value)
{
    return nla_put(nlmsg, attr, &value, sizeof(value));
}

int nla_put_attr(struct nlmsg *nlmsg, int attr)
{
    return nla_put(nlmsg, attr, nullptr, 0);
}

struct rtattr *nla_begin_nested(struct nlmsg *nlmsg, int attr)
{
    auto *rta = reinterpret_cast<struct rtattr *>(tail_of(nlmsg));
    if (nla_put_attr(nlmsg, attr))
        return nullptr;
    return rta;
}

void nla_end_nested(struct nlmsg *nlmsg, struct rtattr *attr)
{
    attr->rta_len = static_cast<unsigned short>(tail_of(nlmsg) - reinterpret_cast<char *>(attr));
}

int netlink_open(struct nl_handler *handler, int protocol)
{
    memset(handler, 0, sizeof(*handler));
    handler->fd = socket(AF_NETLINK, SOCK_RAW, protocol);
    if (handler->fd < 0)
        return -errno;

    int sndbuf = 32768;
    int rcvbuf = 32768;
    if (setsockopt(handler->fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)) < 0)
        return close_with(handler, -errno);
    if (setsockopt(handler->fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf)) < 0)
        return close_with(handler, -errno);

    handler->local.nl_family = AF_NETLINK;
    handler->local.nl_pid = 0;
    handler->local.nl_groups = 0;
    if (bind(handler->fd, reinterpret_cast<struct sockaddr *>(&handler->local),
             sizeof(handler->local)) < 0)
        return close_with(handler, -errno);

    socklen_t addrlen = sizeof(handler->local);
    if (getsockname(handler->fd, reinterpret_cast<struct sockaddr *>(&handler->local),
                    &addrlen) < 0)
        return close_with(handler, -errno);
    if (addrlen != sizeof(handler->local) || handler->local.nl_family != AF_NETLINK)
        return close_with(handler, -EINVAL);

    handler->seq = static_cast<int>(time(nullptr));
    return 0;
}

int netlink_close(struct nl_handler *handler)
{
    close(handler->fd);
    handler->fd = -1;
    return 0;
}

int netlink_send(struct nl_handler *handler, struct nlmsg *nlmsg)
{
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    struct iovec iov = {nlmsg->nlmsghdr, nlmsg->nlmsghdr->nlmsg_len};
    struct msghdr msg = {};
    msg.msg_name = &kernel;
    msg.msg_namelen = sizeof(kernel);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;

    ssize_t sent = sendmsg(handler->fd, &msg, 0);
    if (sent < 0)
        return -errno;
    return static_cast<int>(sent);
}

int netlink_rcv(struct nl_handler *handler, struct nlmsg *answer)
{
    struct sockaddr_nl from = {};
    struct iovec iov = {answer->nlmsghdr, answer->nlmsghdr->nlmsg_len};
    struct msghdr msg = {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;

    ssize_t received;
    do {
        received = recvmsg(handler->fd, &msg, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return -errno;
    if (received == 0)
        return 0;
    if ((msg.msg_flags & MSG_TRUNC) &&
        static_cast<size_t>(received) == answer->nlmsghdr->nlmsg_len)
        return -EMSGSIZE;
    return static_cast<int>(received);
}

int netlink_transaction(struct nl_handler *handler, struct nlmsg *request,
                        struct nlmsg *answer)
{
    int ret = netlink_send(handler, request);
    if (ret < 0)
        return ret;
    ret = netlink_rcv(handler, answer);
    if (ret < 0)
        return ret;
    if (answer->nlmsghdr->nlmsg_type == NLMSG_ERROR) {
        auto *err = static_cast<struct nlmsgerr *>(NLMSG_DATA(answer->nlmsghdr));
        return err->error;
    }
    return 0;
}

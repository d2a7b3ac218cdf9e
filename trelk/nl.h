// Minimal rtnetlink client: one socket per operation, one request per socket,
// one datagram read back. Buffers have a fixed capacity and never grow.
#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/types.h>

#include <cstddef>

struct nl_handler {
    int fd;
    int seq;
    struct sockaddr_nl local;
    struct sockaddr_nl peer;
};

// The header's nlmsg_len is the fill level; cap is the size of the buffer.
struct nlmsg {
    struct nlmsghdr *nlmsghdr;
    ssize_t cap;
};

// Message buffer. The buffer is zero-filled and only appended to.
struct nlmsg *nlmsg_alloc(size_t size);
struct nlmsg *nlmsg_alloc_reserve(size_t size);
void nlmsg_free(struct nlmsg *nlmsg);
void *nlmsg_reserve(struct nlmsg *nlmsg, size_t len);
size_t nlmsg_len(const struct nlmsg *nlmsg);
void *nlmsg_data(struct nlmsg *nlmsg);

// Attribute writers: 0, or -ENOMEM with the message unchanged.
int nla_put(struct nlmsg *nlmsg, int attr, const void *data, size_t len);
int nla_put_buffer(struct nlmsg *nlmsg, int attr, const void *data, size_t size);
int nla_put_string(struct nlmsg *nlmsg, int attr, const char *string);
int nla_put_u32(struct nlmsg *nlmsg, int attr, int value);
int nla_put_u16(struct nlmsg *nlmsg, int attr, unsigned short value);
int nla_put_attr(struct nlmsg *nlmsg, int attr);
struct rtattr *nla_begin_nested(struct nlmsg *nlmsg, int attr);
void nla_end_nested(struct nlmsg *nlmsg, struct rtattr *attr);

// Socket: 0 or a byte count on success, otherwise a negative errno value.
int netlink_open(struct nl_handler *handler, int protocol);
int netlink_close(struct nl_handler *handler);
int netlink_send(struct nl_handler *handler, struct nlmsg *nlmsg);
int netlink_rcv(struct nl_handler *handler, struct nlmsg *answer);
int netlink_transaction(struct nl_handler *handler, struct nlmsg *request,
                        struct nlmsg *answer);

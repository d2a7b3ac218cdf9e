// Deleters that let std::unique_ptr guard netlink handles and messages.
#pragma once

#include "nl.h"

namespace trelk {

// The handle itself lives on the caller's stack: only the socket is closed.
struct netlink_delete {
    void operator()(nl_handler *handler) const { netlink_close(handler); }
};

struct nlmsg_delete {
    void operator()(nlmsg *msg) const { nlmsg_free(msg); }
};

}  // namespace trelk

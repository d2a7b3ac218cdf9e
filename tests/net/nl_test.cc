// A netlink writer that does not fit leaves the message as it was.
#include "trelk/auto_dev.h"
#include "trelk/nl.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using message = std::unique_ptr<nlmsg, trelk::nlmsg_delete>;

std::vector<char> snapshot(const nlmsg *msg)
{
    const char *p = reinterpret_cast<const char *>(msg->nlmsghdr);
    return {p, p + msg->cap};
}

TEST(Nlmsg, WritersStopAtTheCapacityAndTheSixteenBitLength)
{
    message msg(nlmsg_alloc(16));
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->cap, 32);
    const std::vector<char> empty = snapshot(msg.get());
    const char payload[13] = "0123456789ab";
    EXPECT_EQ(nla_put(msg.get(), 1, payload, 13), -ENOMEM);
    EXPECT_EQ(nlmsg_reserve(msg.get(), 17), nullptr);
    EXPECT_EQ(snapshot(msg.get()), empty);
    ASSERT_EQ(nla_put(msg.get(), 1, payload, 12), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 32u);
    const std::vector<char> full = snapshot(msg.get());
    EXPECT_EQ(nla_put_attr(msg.get(), 2), -ENOMEM);
    EXPECT_EQ(nla_begin_nested(msg.get(), 2), nullptr);
    EXPECT_EQ(nlmsg_reserve(msg.get(), 1), nullptr);
    EXPECT_EQ(snapshot(msg.get()), full);

    message big(nlmsg_alloc(70000));
    std::vector<char> huge(65532, 'x');
    EXPECT_EQ(nla_put(big.get(), 1, huge.data(), huge.size()), -ENOMEM);
    EXPECT_EQ(big->nlmsghdr->nlmsg_len, 16u);
    ASSERT_EQ(nla_put(big.get(), 1, huge.data(), huge.size() - 1), 0);
    EXPECT_EQ(reinterpret_cast<rtattr *>(big->nlmsghdr + 1)->rta_len, 65535);
}

}  // namespace

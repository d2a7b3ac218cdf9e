// Byte layout of the netlink message buffer and its attribute writers.
#include "trelk/auto_dev.h"
#include "trelk/nl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using message = std::unique_ptr<nlmsg, trelk::nlmsg_delete>;

const unsigned char *bytes(const nlmsg *msg)
{
    return reinterpret_cast<const unsigned char *>(msg->nlmsghdr);
}

const rtattr *attr_at(const nlmsg *msg, size_t offset)
{
    return reinterpret_cast<const rtattr *>(bytes(msg) + offset);
}

std::vector<unsigned char> snapshot(const nlmsg *msg)
{
    return {bytes(msg), bytes(msg) + msg->cap};
}

// Writes garbage into the unused part of the buffer, so that a writer that
// relies on zero-filled memory instead of writing what it must is caught.
void scribble_past_fill(nlmsg *msg)
{
    auto *buf = reinterpret_cast<unsigned char *>(msg->nlmsghdr);
    memset(buf + msg->nlmsghdr->nlmsg_len, 0xa5, msg->cap - msg->nlmsghdr->nlmsg_len);
}

TEST(NlmsgAlloc, CapacityIsAlignedSizePlusHeader)
{
    message msg(nlmsg_alloc(8192));
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->cap, 8208);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 16u);
    EXPECT_EQ(nlmsg_len(msg.get()), 0u);
    EXPECT_EQ(nlmsg_data(msg.get()), nullptr);
    std::vector<unsigned char> all = snapshot(msg.get());
    for (size_t i = sizeof(msg->nlmsghdr->nlmsg_len); i < all.size(); ++i)
        ASSERT_EQ(all[i], 0) << "byte " << i;

    message odd(nlmsg_alloc(5));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->cap, 24);
}

TEST(NlmsgAlloc, ReserveCountsWholeBufferAsUsed)
{
    message msg(nlmsg_alloc_reserve(8192));
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->cap, 8208);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 8208u);
    EXPECT_EQ(nlmsg_len(msg.get()), 8192u);
}

TEST(NlmsgAlloc, EmptyBufferRefusesEverything)
{
    message msg(nlmsg_alloc(0));
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->cap, 16);
    std::vector<unsigned char> before = snapshot(msg.get());
    int value = 7;
    EXPECT_EQ(nla_put(msg.get(), 1, &value, sizeof(value)), -ENOMEM);
    EXPECT_EQ(nla_put_buffer(msg.get(), 1, &value, sizeof(value)), -ENOMEM);
    EXPECT_EQ(nla_put_string(msg.get(), 1, ""), -ENOMEM);
    EXPECT_EQ(nla_put_u32(msg.get(), 1, 7), -ENOMEM);
    EXPECT_EQ(nla_put_u16(msg.get(), 1, 7), -ENOMEM);
    EXPECT_EQ(nla_put_attr(msg.get(), 1), -ENOMEM);
    EXPECT_EQ(nla_begin_nested(msg.get(), 1), nullptr);
    EXPECT_EQ(nlmsg_reserve(msg.get(), 1), nullptr);
    EXPECT_EQ(snapshot(msg.get()), before);
}

TEST(NlmsgReserve, AdvancesByAlignedLengthAndZeroesPadding)
{
    message msg(nlmsg_alloc(64));
    ASSERT_TRUE(msg);
    scribble_past_fill(msg.get());

    auto *first = static_cast<unsigned char *>(nlmsg_reserve(msg.get(), 12));
    ASSERT_EQ(first, bytes(msg.get()) + 16);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 28u);

    auto *second = static_cast<unsigned char *>(nlmsg_reserve(msg.get(), 5));
    ASSERT_EQ(second, bytes(msg.get()) + 28);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 36u);
    EXPECT_EQ(second[5], 0);
    EXPECT_EQ(second[6], 0);
    EXPECT_EQ(second[7], 0);
    EXPECT_EQ(nlmsg_data(msg.get()), first);
    EXPECT_EQ(nlmsg_len(msg.get()), 20u);
}

TEST(NlaPut, AttributeSizesAndPadding)
{
    message msg(nlmsg_alloc(64));
    ASSERT_TRUE(msg);

    ASSERT_EQ(nla_put_string(msg.get(), 3, "veth"), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 28u);
    const rtattr *str = attr_at(msg.get(), 16);
    EXPECT_EQ(str->rta_len, 9);
    EXPECT_EQ(str->rta_type, 3);
    EXPECT_EQ(memcmp(RTA_DATA(str), "veth\0\0\0", 8), 0);

    ASSERT_EQ(nla_put_u16(msg.get(), 4, 0x1234), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 36u);
    const rtattr *u16 = attr_at(msg.get(), 28);
    EXPECT_EQ(u16->rta_len, 6);
    unsigned short got16;
    memcpy(&got16, RTA_DATA(u16), sizeof(got16));
    EXPECT_EQ(got16, 0x1234);

    ASSERT_EQ(nla_put_u32(msg.get(), 5, -2), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 44u);
    const rtattr *u32 = attr_at(msg.get(), 36);
    EXPECT_EQ(u32->rta_len, 8);
    int got32;
    memcpy(&got32, RTA_DATA(u32), sizeof(got32));
    EXPECT_EQ(got32, -2);

    ASSERT_EQ(nla_put_attr(msg.get(), 6), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 48u);
    EXPECT_EQ(attr_at(msg.get(), 44)->rta_len, 4);
    EXPECT_EQ(attr_at(msg.get(), 44)->rta_type, 6);

    const unsigned char raw[3] = {1, 2, 3};
    ASSERT_EQ(nla_put_buffer(msg.get(), 7, raw, sizeof(raw)), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 56u);
    EXPECT_EQ(attr_at(msg.get(), 48)->rta_len, 7);
    EXPECT_EQ(memcmp(bytes(msg.get()) + 52, "\1\2\3\0", 4), 0);
}

TEST(NlaPut, AttributeEndingAtCapacityFitsOneBeyondIsRefused)
{
    message msg(nlmsg_alloc(16));
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->cap, 32);

    std::vector<unsigned char> before = snapshot(msg.get());
    const char payload[13] = "0123456789ab";
    EXPECT_EQ(nla_put(msg.get(), 1, payload, 13), -ENOMEM);
    EXPECT_EQ(snapshot(msg.get()), before);

    ASSERT_EQ(nla_put(msg.get(), 1, payload, 12), 0);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 32u);
    EXPECT_EQ(nla_put_attr(msg.get(), 2), -ENOMEM);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 32u);
}

TEST(NlaPut, PayloadBeyondSixteenBitLengthIsRefused)
{
    message msg(nlmsg_alloc(70000));
    ASSERT_TRUE(msg);
    std::vector<char> payload(65532, 'x');
    EXPECT_EQ(nla_put(msg.get(), 1, payload.data(), payload.size()), -ENOMEM);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 16u);
    ASSERT_EQ(nla_put(msg.get(), 1, payload.data(), payload.size() - 1), 0);
    EXPECT_EQ(attr_at(msg.get(), 16)->rta_len, 65535);
}

TEST(NlaNested, ClosesOverEverythingAppendedInside)
{
    message msg(nlmsg_alloc(8192));
    ASSERT_TRUE(msg);
    ASSERT_NE(nlmsg_reserve(msg.get(), 16), nullptr);

    rtattr *a = nla_begin_nested(msg.get(), 1);
    ASSERT_EQ(reinterpret_cast<unsigned char *>(a), bytes(msg.get()) + 32);
    ASSERT_EQ(nla_put_string(msg.get(), 1, "veth"), 0);
    rtattr *b = nla_begin_nested(msg.get(), 2);
    ASSERT_NE(b, nullptr);
    nla_end_nested(msg.get(), b);
    nla_end_nested(msg.get(), a);

    EXPECT_EQ(b->rta_len, 4);
    EXPECT_EQ(b->rta_type, 2);
    EXPECT_EQ(a->rta_len, 20);
    EXPECT_EQ(a->rta_type, 1);
    EXPECT_EQ(msg->nlmsghdr->nlmsg_len, 52u);
}

}  // namespace

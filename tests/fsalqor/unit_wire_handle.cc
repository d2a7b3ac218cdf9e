// Wire handles from clients: exact length, and only the export's own medium.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wire_handle.h"

namespace {

std::vector<unsigned char> wire(int32_t media_id, int32_t id, mode_t mode)
{
	qor_file_handle fh{media_id, id, mode};
	std::vector<unsigned char> bytes(sizeof(fh));
	std::memcpy(bytes.data(), &fh, sizeof(fh));
	return bytes;
}

TEST(WireHandle, AcceptsOwnMediumAndCopiesBytes)
{
	auto bytes = wire(7, 42, 0100644);
	qor_file_handle fh{};
	ASSERT_EQ(check_wire_handle(bytes.data(), bytes.size(), 7, &fh),
		  wire_handle_check::ok);
	EXPECT_EQ(fh.media_id, 7);
	EXPECT_EQ(fh.id, 42);
	EXPECT_EQ(fh.mode, 0100644u);
}

TEST(WireHandle, LayoutIsTwelveLittleEndianBytes)
{
	auto bytes = wire(0x01020304, 0x0a0b0c0d, 040755);
	ASSERT_EQ(bytes.size(), 12u);
	EXPECT_EQ(bytes[0], 0x04);
	EXPECT_EQ(bytes[3], 0x01);
	EXPECT_EQ(bytes[4], 0x0d);
	EXPECT_EQ(bytes[8], 040755 & 0xff);
}

TEST(WireHandle, RefusesOtherLengths)
{
	auto bytes = wire(7, 42, 0100644);
	bytes.push_back(0);
	for (size_t len : {size_t{0}, size_t{11}, size_t{13}})
		EXPECT_EQ(check_wire_handle(bytes.data(), len, 7, nullptr),
			  wire_handle_check::bad_length) << len;
}

TEST(WireHandle, RefusesAnotherMedium)
{
	auto bytes = wire(8, 42, 0100644);
	qor_file_handle fh{1, 2, 3};
	EXPECT_EQ(check_wire_handle(bytes.data(), bytes.size(), 7, &fh),
		  wire_handle_check::other_medium);
	EXPECT_EQ(fh.media_id, 1) << "a refused handle is not copied";
	// An export without an open medium accepts nothing, not even -1.
	auto unopened = wire(-1, 42, 0100644);
	EXPECT_EQ(check_wire_handle(unopened.data(), unopened.size(), -1, nullptr),
		  wire_handle_check::other_medium);
}

} // namespace

// Attributes of media objects as the server receives them.
#include <gtest/gtest.h>

#include "qor_methods.h"

namespace {

qor_fsal_obj_handle object(mode_t mode, off_t size, time_t mtime,
			   uint64_t fileid)
{
	qor_fsal_obj_handle hdl{};
	hdl.st.mode = mode;
	hdl.st.size = size;
	hdl.st.mtime = mtime;
	hdl.st.atime = mtime + 100;
	hdl.st.ctime = mtime + 200;
	hdl.obj_handle.fileid = fileid;
	return hdl;
}

struct fsal_attrlist request(attrmask_t mask)
{
	struct fsal_attrlist attrs{};
	attrs.request_mask = mask;
	return attrs;
}

constexpr attrmask_t all_supported = 0x1dfce;

TEST(Attributes, RegularFileFromStatRecord)
{
	auto hdl = object(S_IFREG | 04755, 5000, 1234567890, 77);
	auto attrs = request(all_supported | ATTR_ACL | ATTR_CHANGE);
	qor2fsal_attributes(&hdl, &attrs);

	EXPECT_EQ(attrs.valid_mask, all_supported);
	EXPECT_EQ(attrs.type, REGULAR_FILE);
	EXPECT_EQ(attrs.mode, 04755u);
	EXPECT_EQ(attrs.filesize, 5000u);
	EXPECT_EQ(attrs.fileid, 77u);
	EXPECT_EQ(attrs.numlinks, 1u);
	EXPECT_EQ(attrs.owner, 0u);
	EXPECT_EQ(attrs.group, 0u);
	EXPECT_EQ(attrs.rawdev.major, 1u);
	EXPECT_EQ(attrs.rawdev.minor, 1u);
	EXPECT_EQ(attrs.fsid.major, 1u);
	EXPECT_EQ(attrs.fsid.minor, 1u);
	EXPECT_EQ(attrs.spaceused, 5120u);
	for (const struct timespec &t : {attrs.atime, attrs.mtime, attrs.ctime}) {
		EXPECT_EQ(t.tv_sec, 1234567890);
		EXPECT_EQ(t.tv_nsec, 0);
	}
	EXPECT_EQ(attrs.request_mask, all_supported | ATTR_ACL | ATTR_CHANGE);
}

TEST(Attributes, TypesOfMediaObjects)
{
	const std::pair<mode_t, object_file_type_t> cases[] = {
		{S_IFDIR | 01777, DIRECTORY},
		{S_IFLNK | 0777, SYMBOLIC_LINK},
		{S_IFIFO | 0644, FIFO_FILE},
	};
	for (const auto &[mode, type] : cases) {
		auto hdl = object(mode, 0, 0, 1);
		auto attrs = request(ATTR_TYPE | ATTR_MODE);
		qor2fsal_attributes(&hdl, &attrs);
		EXPECT_EQ(attrs.type, type) << std::oct << mode;
		EXPECT_EQ(attrs.mode, mode & 07777u);
	}
}

TEST(Attributes, SpaceUsedRoundsUpToSectors)
{
	const std::pair<off_t, uint64_t> cases[] = {
		{0, 512}, {1, 512}, {512, 512}, {513, 1024},
		{(off_t{5} << 30) + 1, (uint64_t{5} << 30) + 512},
	};
	for (const auto &[size, used] : cases) {
		auto hdl = object(S_IFREG | 0644, size, 0, 1);
		auto attrs = request(ATTR_SPACEUSED);
		qor2fsal_attributes(&hdl, &attrs);
		EXPECT_EQ(attrs.spaceused, used) << size;
		EXPECT_EQ(attrs.valid_mask, ATTR_SPACEUSED);
	}
}

TEST(Attributes, OnlyRequestedBitsAreFilled)
{
	auto hdl = object(S_IFREG | 0644, 10, 5, 9);
	auto attrs = request(0);
	attrs.valid_mask = ATTR_RDATTR_ERR;
	attrs.filesize = 123;
	qor2fsal_attributes(&hdl, &attrs);
	EXPECT_EQ(attrs.valid_mask, ATTR_RDATTR_ERR);
	EXPECT_EQ(attrs.filesize, 123u);

	attrs = request(ATTR_SIZE | ATTR_MTIME);
	qor2fsal_attributes(&hdl, &attrs);
	EXPECT_EQ(attrs.valid_mask, ATTR_SIZE | ATTR_MTIME);
	EXPECT_EQ(attrs.fileid, 0u);

	qor2fsal_attributes(&hdl, nullptr);
}

} // namespace

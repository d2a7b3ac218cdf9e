// Composition of the path on the medium from an export's path and its
// export_path, and the length limits of that composition.
#include <gtest/gtest.h>

#include <string>

#include "media_path.h"

namespace {

struct composed {
	media_path::outcome result;
	std::string path;
	size_t limit;
	std::string in_path;
};

composed compose(const std::string &fs_path, const std::string &request,
		 const char *export_path)
{
	media_path mp;
	compose_media_path(fs_path.c_str(), fs_path.size(), request.c_str(),
			   export_path, &mp);
	return {mp.result, mp.path, mp.limit, mp.in_path ? mp.in_path : ""};
}

TEST(MediaPath, JoinsExportPathAndRemainder)
{
	EXPECT_EQ(compose("/exp", "/exp", nullptr).path, "/");
	EXPECT_EQ(compose("/exp", "/exp/a/b", "/data").path, "/data/a/b");
	EXPECT_EQ(compose("/exp", "/exp//a", "/data/").path, "/data/a");
	EXPECT_EQ(compose("/exp", "/exp", "/data").path, "/data/");
	EXPECT_EQ(compose("/exp", "/expb", nullptr).path, "b");
	EXPECT_EQ(compose("/exp", "/expb", "data").path, "data/b");
	EXPECT_EQ(compose("/exp", "/exp/x", "/").path, "/x");
}

TEST(MediaPath, PrefixIsPlainStringComparison)
{
	composed c = compose("/a", "/ab", nullptr);
	EXPECT_EQ(c.result, media_path::ok);
	EXPECT_EQ(c.path, "b");
	EXPECT_EQ(compose("/a", "/b", nullptr).result,
		  media_path::outside_filesystem);
	EXPECT_EQ(compose("/abc", "/ab", nullptr).result,
		  media_path::outside_filesystem);
}

TEST(MediaPath, ExportPathLengthLimits)
{
	const std::string longest(4095, 'e');
	composed c = compose("/x", "/x/a", std::string(4096, 'e').c_str());
	EXPECT_EQ(c.result, media_path::export_path_too_long);
	EXPECT_EQ(c.limit, 4095u);

	c = compose("/x", "/xa", longest.c_str());
	EXPECT_EQ(c.result, media_path::no_room_for_separator);
	EXPECT_EQ(c.limit, 4094u);

	c = compose("/x", "/x", longest.c_str());
	EXPECT_EQ(c.result, media_path::path_too_long);
	EXPECT_EQ(c.limit, 1u);
	EXPECT_EQ(c.in_path, "/");

	const std::string with_slash = std::string(4094, 'e') + "/";
	c = compose("/x", "/x", with_slash.c_str());
	EXPECT_EQ(c.result, media_path::ok) << "the seam's slash is not doubled";
	EXPECT_EQ(c.path, with_slash);

	c = compose("/x", "/xa", std::string(4094, 'e').c_str());
	EXPECT_EQ(c.result, media_path::path_too_long);
	EXPECT_EQ(c.limit, 1u);
}

TEST(MediaPath, WholePathFitsInBuffer)
{
	const std::string rest(4095, 'r');
	composed c = compose("/x", "/x" + rest, nullptr);
	EXPECT_EQ(c.result, media_path::ok);
	EXPECT_EQ(c.path, rest);

	c = compose("/x", "/x" + rest + "r", nullptr);
	EXPECT_EQ(c.result, media_path::path_too_long);
	EXPECT_EQ(c.limit, 4096u);
}

} // namespace

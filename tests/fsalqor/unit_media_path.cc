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
	EXPECT_EQ(compose("/exp/", "/exp/b", nullptr).path, "b");
	EXPECT_EQ(compose("/exp/", "/exp/b", "data").path, "data/b");
	EXPECT_EQ(compose("/exp", "/exp/x", "/").path, "/x");
}

TEST(MediaPath, PrefixMatchesWholeComponents)
{
	struct {
		const char *fs_path, *request;
		media_path::outcome result;
	} cases[] = {
		{"/backup/42", "/backup/42", media_path::ok},
		{"/backup/42", "/backup/42/", media_path::ok},
		{"/backup/42", "/backup/42/x", media_path::ok},
		{"/backup/42", "/backup/420", media_path::outside_filesystem},
		{"/backup/42", "/backup/42x/y", media_path::outside_filesystem},
		{"/a", "/ab", media_path::outside_filesystem},
		{"/a", "/b", media_path::outside_filesystem},
		{"/abc", "/ab", media_path::outside_filesystem},
		{"/", "/anything", media_path::ok},
		{"/a/", "/a/b", media_path::ok},
	};
	for (const auto &c : cases)
		EXPECT_EQ(compose(c.fs_path, c.request, nullptr).result, c.result)
			<< c.fs_path << " against " << c.request;
	EXPECT_EQ(compose("/backup/42", "/backup/42/x", "/d").path, "/d/x");
}

TEST(MediaPath, ExportPathLengthLimits)
{
	const std::string longest(4095, 'e');
	composed c = compose("/x", "/x/a", std::string(4096, 'e').c_str());
	EXPECT_EQ(c.result, media_path::export_path_too_long);
	EXPECT_EQ(c.limit, 4095u);

	c = compose("/x/", "/x/a", longest.c_str());
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

	c = compose("/x/", "/x/a", std::string(4094, 'e').c_str());
	EXPECT_EQ(c.result, media_path::path_too_long);
	EXPECT_EQ(c.limit, 1u);
}

TEST(MediaPath, WholePathFitsInBuffer)
{
	const std::string rest(4095, 'r');
	composed c = compose("/x/", "/x/" + rest, nullptr);
	EXPECT_EQ(c.result, media_path::ok);
	EXPECT_EQ(c.path, rest);

	c = compose("/x/", "/x/" + rest + "r", nullptr);
	EXPECT_EQ(c.result, media_path::path_too_long);
	EXPECT_EQ(c.limit, 4096u);
}

} // namespace

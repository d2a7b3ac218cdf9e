// The library's pure pieces: name rules, listings and the id hash.
#include <gtest/gtest.h>

#include <string>

#include "image.h"
#include "listing.h"

using namespace qor;

namespace {

qor_stat_t file_stat(off_t size)
{
	qor_stat_t st{};
	st.mode = S_IFREG | 0644;
	st.size = size;
	st.mtime = 1000;
	return st;
}

TEST(Names, OnlySingleComponentsThatFitADirentArePlain)
{
	for (std::string bad : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
				std::string("/"), std::string("a\0b", 3), std::string(256, 'x')})
		EXPECT_FALSE(is_plain_name(bad)) << bad;
	for (std::string good : {std::string("a"), std::string("..."), std::string(".hidden"), std::string(255, 'x')})
		EXPECT_TRUE(is_plain_name(good)) << good;
}

TEST(Listing, FindsEveryEntryWhateverTheStoredOrder)
{
	for (bool sorted : {true, false}) {
		Listing l;
		std::vector<std::string> names = {"alpha", "beta", "delta", "gamma", "\xff-high-byte"};
		if (!sorted)
			std::swap(names[0], names[3]);
		uint32_t ino = 10;
		for (const std::string &n : names)
			EXPECT_TRUE(l.add(n, ino++, file_stat(n.size())));
		EXPECT_FALSE(l.add("..", 99, file_stat(0)));
		EXPECT_FALSE(l.add(std::string(300, 'y'), 99, file_stat(0)));
		l.finish();
		ASSERT_EQ(l.size(), names.size());
		for (size_t i = 0; i < names.size(); ++i) {
			const Listing_entry *e = l.find(names[i]);
			ASSERT_NE(e, nullptr) << names[i];
			EXPECT_EQ(e->ino, 10 + i);
			EXPECT_EQ(entry_stat(*e).size, off_t(names[i].size()));
			EXPECT_EQ(l.name(l.at(i)), names[i]) << "stored order is kept for cookies";
		}
		EXPECT_EQ(l.find("alph"), nullptr);
		EXPECT_EQ(l.find("alphaa"), nullptr);
		EXPECT_EQ(l.find(".."), nullptr);
	}
}

TEST(Hasher, IsIndependentOfHowTheBytesArriveAndStableAcrossBuilds)
{
	std::string data;
	for (int i = 0; i < 1000; ++i)
		data += static_cast<char>(i * 7);
	Hasher whole;
	whole.add(data.data(), data.size());
	for (size_t step : {1, 3, 8, 13, 999}) {
		Hasher pieces;
		for (size_t at = 0; at < data.size(); at += step)
			pieces.add(data.data() + at, std::min(step, data.size() - at));
		EXPECT_EQ(pieces.value(), whole.value()) << step;
	}
	Hasher shorter;
	shorter.add(data.data(), data.size() - 1);
	EXPECT_NE(shorter.value(), whole.value());
	// Media ids, and so every NFS handle, are made from this hash: a change
	// here turns all handles of existing clients stale.
	Hasher pinned;
	pinned.add("backup media", 12);
	pinned.add_u64(42);
	EXPECT_EQ(pinned.value(), 0x271bd59edfc451b8ULL);
}

} // namespace

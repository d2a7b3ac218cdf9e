// The library's pure pieces: name rules, listings, the id hash, the data
// cache and the sequential-stream detector.
#include <gtest/gtest.h>
#include <new>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "data_cache.h"
#include "image.h"
#include "listing.h"
#include "readahead.h"

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

namespace {

// A loader that makes a block of `size` bytes filled with the key's low byte.
Data_cache::Loader make_block(uint64_t item, size_t size, std::atomic<int> &calls)
{
	return [item, size, &calls](Block_ptr &out) {
		++calls;
		auto b = std::make_shared<Block>(size);
		std::memset(b->data(), int(item & 0xff), size);
		b->resize(size);
		out = std::move(b);
		return 0;
	};
}

} // namespace

TEST(Data_cache, StaysWithinItsBoundUnderManyThreads)
{
	constexpr size_t block = 4096;
	Data_cache cache(4);
	std::atomic<int> calls{0};
	const uint64_t bound = 40 * Data_cache::charge(Block(block));
	cache.set_capacity(bound);
	std::atomic<int> wrong{0};
	std::vector<std::thread> threads;
	for (unsigned t = 0; t < 8; ++t)
		threads.emplace_back([&, t] {
			std::mt19937 rng(t);
			for (int i = 0; i < 3000; ++i) {
				uint64_t item = rng() % 500;
				Block_ptr b;
				if (cache.get(Cache_key{1, item}, make_block(item, block, calls), b) != 0 ||
				    b->size() != block || b->data()[block - 1] != uint8_t(item & 0xff))
					++wrong;
			}
		});
	for (auto &t : threads)
		t.join();
	Data_cache_stats st = cache.stats();
	EXPECT_EQ(wrong.load(), 0);
	EXPECT_LE(st.peak, bound);
	EXPECT_GT(st.bytes, 0u);
	EXPECT_EQ(st.hits + st.loads + st.waits, 8u * 3000);
	EXPECT_EQ(st.loads, uint64_t(calls.load()));

	cache.set_capacity(bound / 4);
	EXPECT_LE(cache.stats().bytes, bound / 4);
	cache.set_capacity(0);
	EXPECT_EQ(cache.stats().bytes, 0u);
}

TEST(Data_cache, ConcurrentReadersOfOneBlockLoadItOnceAndFailuresAreNotKept)
{
	Data_cache cache(2);
	cache.set_capacity(1u << 20);
	std::atomic<int> calls{0}, started{0};
	std::atomic<bool> release{false};
	auto slow = [&](Block_ptr &out) {
		++calls;
		while (!release)
			std::this_thread::yield();
		auto b = std::make_shared<Block>(16);
		b->resize(16);
		out = std::move(b);
		return 0;
	};
	std::vector<std::thread> threads;
	std::atomic<int> ok{0};
	for (int t = 0; t < 6; ++t)
		threads.emplace_back([&] {
			Block_ptr b;
			++started;
			if (cache.get(Cache_key{7, 42}, slow, b) == 0 && b && b->size() == 16)
				++ok;
		});
	while (started < 6)
		std::this_thread::yield();
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	release = true;
	for (auto &t : threads)
		t.join();
	EXPECT_EQ(calls.load(), 1);
	EXPECT_EQ(ok.load(), 6);

	int failures = 0;
	auto failing = [&](Block_ptr &) {
		++failures;
		return -EIO;
	};
	Block_ptr b;
	EXPECT_EQ(cache.get(Cache_key{7, 43}, failing, b), -EIO);
	EXPECT_FALSE(cache.contains(Cache_key{7, 43}));
	EXPECT_EQ(cache.get(Cache_key{7, 43}, failing, b), -EIO);
	EXPECT_EQ(failures, 2);
	EXPECT_TRUE(cache.contains(Cache_key{7, 42}));
	EXPECT_FALSE(cache.contains(Cache_key{8, 42})); // another medium
}

TEST(Data_cache, SmallCachesStillCacheAndALoadThatThrowsReleasesItsBlock)
{
	Data_cache cache(16);
	std::atomic<int> calls{0};
	cache.set_capacity(2u << 20); // 16 shards would each be smaller than one block
	Block_ptr b;
	for (int i = 0; i < 3; ++i)
		ASSERT_EQ(cache.get(Cache_key{1, 5}, make_block(5, 128 << 10, calls), b), 0);
	EXPECT_EQ(calls.load(), 1);
	EXPECT_LE(cache.stats().bytes, 2u << 20);

	auto throwing = [](Block_ptr &) -> int { throw std::bad_alloc(); };
	EXPECT_THROW(cache.get(Cache_key{1, 6}, throwing, b), std::bad_alloc);
	EXPECT_FALSE(cache.contains(Cache_key{1, 6})) << "nobody loads it any more, yet readers would wait";
	EXPECT_EQ(cache.get(Cache_key{1, 6}, make_block(6, 16, calls), b), 0);
}

TEST(Readahead_pool, RefusesTasksFromStopUntilResume)
{
	Readahead_pool &pool = Readahead_pool::instance();
	pool.stop();
	EXPECT_FALSE(pool.submit([] {}));
	EXPECT_EQ(pool.threads(), 0u);
	pool.resume();
	ASSERT_TRUE(pool.submit([] {}));
	pool.stop(); // waits for the running task or drops the queued one
	pool.resume();
	EXPECT_EQ(pool.threads(), 0u);
}

TEST(Stream, ReadAheadFollowsSequentialReadersOnly)
{
	constexpr uint64_t file = 1u << 30, block = 128u << 10, mib = 1u << 20, cache = 1u << 30;
	struct Case {
		const char *what;
		std::vector<uint64_t> offsets; // reads of `count` bytes
		uint64_t count;
		bool expect_ahead;
	} cases[] = {
		{"front to back", {0, mib, 2 * mib, 3 * mib}, mib, true},
		{"four in flight, out of order", {0, 2 * mib, mib, 3 * mib, 5 * mib, 4 * mib}, mib, true},
		{"two clients streaming one file", {0, 512 * mib, mib, 513 * mib, 2 * mib, 514 * mib, 3 * mib}, mib, true},
		{"one read", {0}, mib, false},
		{"random 4 KiB", {}, 4096, false},
	};
	std::mt19937_64 rng(3);
	for (int i = 0; i < 2000; ++i)
		cases[4].offsets.push_back(rng() % file & ~uint64_t(4095));
	for (const Case &c : cases) {
		Stream s;
		std::vector<Readahead_range> queued;
		for (uint64_t off : c.offsets) {
			Readahead_range r = s.observe(off, c.count, file, block, cache);
			if (r.empty())
				continue;
			EXPECT_GE(r.begin, off + c.count) << c.what;
			for (const Readahead_range &q : queued)
				EXPECT_TRUE(r.end <= q.begin || r.begin >= q.end) << c.what << ": queued twice";
			queued.push_back(r);
		}
		EXPECT_EQ(!queued.empty(), c.expect_ahead) << c.what;
	}
	Stream both; // each of two interleaved streams gets its own read-ahead
	uint64_t low = 0, high = 0;
	for (uint64_t i = 0; i < 8; ++i) {
		Readahead_range a = both.observe(i * mib, mib, file, block, cache);
		Readahead_range b = both.observe(512 * mib + i * mib, mib, file, block, cache);
		low += a.empty() ? 0 : a.end - a.begin;
		high += b.empty() ? 0 : b.end - b.begin;
	}
	EXPECT_GT(low, 0u);
	EXPECT_GT(high, 0u);
	Stream edge; // reads at the end, or asking for more than a file holds
	EXPECT_TRUE(edge.observe(file, mib, file, block, cache).empty());
	for (uint64_t off = file - 4 * mib; off < file; off += mib) {
		Readahead_range r = edge.observe(off, UINT64_MAX, file, block, cache);
		EXPECT_LE(r.end, file);
	}
	Stream small;
	for (uint64_t off = 0; off < 8 * mib; off += mib) {
		Readahead_range r = small.observe(off, mib, file, block, 8 * mib);
		EXPECT_LE(r.end - std::min(r.end, r.begin), mib) << "a small cache gets a short read-ahead";
	}
}

// The data cache and read-ahead seen through the C interface, on real images:
// the library's own accounting of what it decompressed and holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "data_cache.h"
#include "media_fixture.h"
#include "qor.h"
#include "readahead.h"

using namespace qor_test;

namespace {

constexpr size_t k_blocks = 4096; // of the test images' block size: 16 MiB
constexpr size_t k_size = k_blocks * k_block;

class Cache : public testing::TestWithParam<Image_recipe> {
protected:
	void SetUp() override
	{
		std::string src = tmp_.path() + "/src";
		mkdir(src.c_str(), 0755);
		data_ = pattern(k_size, 5, true); // no tail: every block is a whole compressed block
		write_file(src + "/big", data_);
		pack(GetParam(), src, tmp_.path() + "/media/minor/1.sqfs");
		qor_c_init();
		int mid = qor_open_media((tmp_.path() + "/media").c_str(), "minor", 1);
		ASSERT_GE(mid, 0) << strerror(errno);
		qor_file_handle fh{};
		ASSERT_EQ(qor_name_to_handle(mid, "/big", &fh), 0);
		fd_ = qor_open_by_handle(&fh);
		ASSERT_GE(fd_, 0);
		ASSERT_EQ(qor_close_media(mid), 0);
	}
	void TearDown() override { qor_c_fini(); }

	// Threads reading the file, each its own way; the number of reads that
	// came back wrong.
	int read_with(unsigned threads, bool sequential, size_t chunk, int random_reads = 0)
	{
		std::atomic<int> wrong{0};
		std::vector<std::thread> ts;
		for (unsigned t = 0; t < threads; ++t)
			ts.emplace_back([&, t] {
				std::mt19937 rng(t);
				std::vector<uint8_t> buf(chunk);
				auto one = [&](size_t off) {
					int64_t n = qor_pread(fd_, buf.data(), chunk, off);
					size_t expect = std::min(chunk, k_size - off);
					if (n != int64_t(expect) || !std::equal(buf.begin(), buf.begin() + expect, data_.begin() + off))
						++wrong;
					std::lock_guard<std::mutex> lock(touched_mutex_);
					for (size_t b = off / k_block; b * k_block < off + expect; ++b)
						touched_.insert(b);
				};
				if (sequential)
					for (size_t off = 0; off < k_size; off += chunk)
						one(off);
				for (int i = 0; i < random_reads; ++i)
					one(rng() % (k_size - chunk));
			});
		for (auto &t : ts)
			t.join();
		return wrong.load();
	}

	Temp_dir tmp_;
	std::vector<uint8_t> data_;
	int fd_ = -1;
	std::mutex touched_mutex_;
	std::set<size_t> touched_;
};

TEST_P(Cache, ConcurrentSequentialReadersDecompressEachBlockOnce)
{
	ASSERT_EQ(qor_set_data_cache_size(64u << 20), 0);
	uint64_t queued = qor::Readahead_pool::instance().queued();
	EXPECT_EQ(read_with(6, true, 64 * 1024), 0);
	qor::Data_cache_stats st = qor::data_cache().stats();
	EXPECT_EQ(st.loads, k_blocks);
	EXPECT_GT(qor::Readahead_pool::instance().queued(), queued) << "no read-ahead for sequential readers";

	qor::Readahead_pool::instance().stop(); // its tasks hold the descriptor
	EXPECT_GT(qor::data_cache().stats().bytes, 0u);
	ASSERT_EQ(qor_close(fd_), 0); // the medium's last reference
	EXPECT_EQ(qor::data_cache().stats().bytes, 0u) << "a closed medium's blocks stay cached";
}

TEST_P(Cache, RandomReadersNeverStartReadAhead)
{
	ASSERT_EQ(qor_set_data_cache_size(64u << 20), 0);
	uint64_t queued = qor::Readahead_pool::instance().queued();
	EXPECT_EQ(read_with(1, false, 4096, 1000), 0);
	EXPECT_EQ(qor::Readahead_pool::instance().queued(), queued);
	EXPECT_EQ(qor::data_cache().stats().loads, touched_.size());
}

TEST_P(Cache, ReadingMoreThanTheBoundStaysWithinIt)
{
	for (uint64_t bound : {uint64_t(256) << 10, uint64_t(0)}) {
		qor::data_cache().clear();
		ASSERT_EQ(qor_set_data_cache_size(bound), 0);
		EXPECT_EQ(qor_data_cache_size(), bound);
		EXPECT_EQ(read_with(3, true, 64 * 1024, 300), 0);
		qor::Data_cache_stats st = qor::data_cache().stats();
		EXPECT_LE(st.peak, bound);
		EXPECT_LE(st.bytes, bound);
		EXPECT_EQ(st.bytes > 0, bound > 0);
		EXPECT_GT(st.loads, k_blocks) << "blocks evicted and read again";
	}
	ASSERT_EQ(qor_set_data_cache_size(QOR_DATA_CACHE_DEFAULT), 0);
	EXPECT_GE(qor_data_cache_size(), uint64_t(1) << 20);
	EXPECT_LE(qor_data_cache_size(), uint64_t(4) << 30);
}

const Image_recipe k_cache_recipes[] = {
	{"lz4", "mksquashfs", "-comp lz4"},
	{"gzip", "mksquashfs", "-comp gzip"},
	{"tar2sqfs_zstd", "tar2sqfs", "-e -c zstd"},
};

std::string recipe_name(const testing::TestParamInfo<Image_recipe> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Images, Cache, testing::ValuesIn(k_cache_recipes), recipe_name);

} // namespace

// The data of one regular file: where each block lies in the image and where
// its tail lies in a fragment block. Immutable once built, so any number of
// threads read through it at once.
#ifndef QOR_FILE_DATA_H
#define QOR_FILE_DATA_H

#include <cstdint>
#include <vector>

#include "medium.h"

namespace qor {

class File_data {
public:
	// 0 or a negative errno.
	int init(const Medium &m, const sqfs_inode_generic_t &inode);
	// Bytes read (short only at the end of the file) or a negative errno.
	int64_t pread(const Medium &m, void *buf, uint64_t count, uint64_t offset) const;
	// Brings the blocks [first, end) that are not there yet into the data
	// cache, decompressed, reading each run of them with one read. The last
	// run goes on past end as far as a run may, so that every request is as
	// large as it can be (the next range skips what it took); 0 or a
	// negative errno.
	int prefetch(const Medium &m, uint64_t first, uint64_t end) const;
	// The end of the run of blocks that one read reads from first on: the
	// blocks with data (compressed or stored) that follow one another in the
	// image, at most k_run_bytes and k_run_blocks of them, and never past end.
	uint64_t run_end(uint64_t first, uint64_t end) const;
	// The same for read-ahead, which may end a run anywhere: a run cut short
	// by its bounds ends with the last block that fits in the store requests
	// before its last, partly filled one. Its blocks after go to the next
	// run, so that every request but a stream's last is close to full.
	uint64_t ahead_run_end(uint64_t first) const;
	uint64_t size() const { return size_; }
	uint32_t block_size() const { return block_size_; }

	// 1 MiB: what a disk or a network store serves in one request (a larger
	// read is cut into requests of this size).
	static constexpr uint64_t k_request_bytes = 1u << 20;
	// A run reads several requests' worth, so that the part of a request
	// left empty where a block does not fit is shared among them.
	static constexpr uint64_t k_run_bytes = 4 * k_request_bytes;
	// Blocks of one run: each is claimed in the data cache (a frame of the
	// stack) before the read is made.
	static constexpr size_t k_run_blocks = 64;
	// Decompressed data a read-ahead run claims at most, and never more than
	// an eighth of the data cache, so that it does not evict what the reader
	// is about to take.
	static constexpr uint64_t k_run_data = 8u << 20;

private:
	struct Run;
	// Blocks loaded by one run, kept for the reader that asked for them.
	struct Held {
		size_t first = 0;
		std::vector<Block_ptr> blocks;
		bool has(size_t index) const
		{
			return index >= first && index - first < blocks.size() && blocks[index - first];
		}
	};
	int read_block(const Medium &m, Worker_lease &lease, size_t index, size_t needed_end, uint32_t in_block,
		       uint32_t len, uint8_t *dst, Held &held) const;
	bool runs_on(size_t index) const;
	bool stored(size_t index) const;
	// Held or being loaded in the data cache.
	bool cached(const Medium &m, size_t index) const;
	uint64_t store_requests(uint64_t first, uint64_t end) const;
	int load_run(const Medium &m, Worker_lease &lease, size_t first, size_t end, Held &held) const;
	int claim(const Medium &m, Worker_lease &lease, Run &run, size_t index) const;
	int unpack(const Medium &m, Worker_lease &lease, Run &run, size_t index, Block_ptr &out) const;
	int copy_stored(const Medium &m, size_t index, const uint8_t *src, Block_ptr &out) const;
	int read_uncompressed_run(const Medium &m, size_t &index, uint32_t in_block, uint64_t &len,
				  uint8_t *dst) const;
	int read_tail(const Medium &m, Worker_lease &lease, uint32_t in_tail, uint32_t len,
		      uint8_t *dst) const;
	int cached_block(const Medium &m, Worker_lease &lease, uint64_t pos, uint32_t size_word, uint32_t expect,
			 Block_ptr &out) const;
	int decompress(const Medium &m, Worker &w, uint64_t pos, uint32_t size_word, uint32_t expect,
		       Block_ptr &out) const;
	int decode(Worker &w, const uint8_t *src, uint32_t size_word, uint32_t expect, Block_ptr &out) const;
	uint32_t block_length(size_t index) const;

	uint64_t size_ = 0;
	uint32_t block_size_ = 0;
	std::vector<uint32_t> size_words_; // on-disk size and compression bit of each block
	std::vector<uint64_t> positions_;  // image offset of each block
	bool has_tail_ = false;
	uint32_t fragment_index_ = 0;
	uint32_t fragment_offset_ = 0;
};

} // namespace qor

#endif

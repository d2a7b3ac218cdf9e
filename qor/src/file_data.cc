#include "file_data.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sqfs/block.h>

#include "data_cache.h"

namespace qor {

namespace {

constexpr uint32_t k_no_fragment = 0xffffffff;

uint32_t on_disk(uint32_t word) { return SQFS_ON_DISK_BLOCK_SIZE(word); }
bool compressed(uint32_t word) { return SQFS_IS_BLOCK_COMPRESSED(word); }
bool sparse(uint32_t word) { return SQFS_IS_SPARSE_BLOCK(word); }

} // namespace

int File_data::init(const Medium &m, const sqfs_inode_generic_t &inode)
{
	block_size_ = m.block_size();
	uint64_t start = 0;
	sqfs_inode_get_file_size(&inode, &size_);
	sqfs_inode_get_file_block_start(&inode, &start);
	uint32_t index = k_no_fragment, offset = k_no_fragment;
	sqfs_inode_get_frag_location(&inode, &index, &offset);
	has_tail_ = index != k_no_fragment && size_ % block_size_ != 0;
	fragment_index_ = index;
	fragment_offset_ = offset;

	size_t count = sqfs_inode_get_file_block_count(&inode);
	uint64_t expect = has_tail_ ? size_ / block_size_ : (size_ + block_size_ - 1) / block_size_;
	if (count != expect)
		return -EIO;
	size_words_.assign(inode.extra, inode.extra + count);
	positions_.resize(count);
	uint64_t pos = start;
	for (size_t i = 0; i < count; ++i) {
		positions_[i] = pos;
		pos += on_disk(size_words_[i]);
	}
	return 0;
}

uint32_t File_data::block_length(size_t index) const
{
	uint64_t begin = uint64_t(index) * block_size_;
	return static_cast<uint32_t>(std::min<uint64_t>(block_size_, size_ - begin));
}

int64_t File_data::pread(const Medium &m, void *buf, uint64_t count, uint64_t offset) const
{
	if (offset >= size_)
		return 0;
	count = std::min<uint64_t>({count, size_ - offset, uint64_t(INT64_MAX)});
	auto *dst = static_cast<uint8_t *>(buf);
	Worker_lease lease(m); // only compressed blocks need a worker
	Held held;
	// The blocks this read needs: a run read for it never goes further.
	size_t needed_end = static_cast<size_t>(std::min<uint64_t>((offset + count - 1) / block_size_ + 1,
							      size_words_.size()));
	uint64_t done = 0;
	int rc = 0;
	while (done < count && rc == 0) {
		uint64_t off = offset + done;
		size_t index = static_cast<size_t>(off / block_size_);
		uint32_t in_block = static_cast<uint32_t>(off % block_size_);
		uint64_t want = count - done;
		if (index >= size_words_.size()) {
			uint32_t len = static_cast<uint32_t>(want); // within the tail, smaller than a block
			rc = read_tail(m, lease, static_cast<uint32_t>(off - uint64_t(index) * block_size_), len,
				       dst + done);
			done += len;
		} else if (stored(index) && !held.has(index) && !cached(m, index)) {
			rc = read_uncompressed_run(m, index, in_block, want, dst + done);
			done += want;
		} else {
			uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(block_length(index) - in_block, want));
			rc = read_block(m, lease, index, needed_end, in_block, len, dst + done, held);
			done += len;
		}
	}
	return rc < 0 ? rc : static_cast<int64_t>(done);
}

bool File_data::stored(size_t index) const
{
	return !compressed(size_words_[index]) && !sparse(size_words_[index]);
}

bool File_data::cached(const Medium &m, size_t index) const
{
	return data_cache().contains(Cache_key{m.serial(), positions_[index]});
}

// Consecutive stored blocks lie back to back in the image: one pread for all,
// up to one that read-ahead brought into the data cache.
int File_data::read_uncompressed_run(const Medium &m, size_t &index, uint32_t in_block, uint64_t &len,
				     uint8_t *dst) const
{
	uint64_t begin = positions_[index] + in_block;
	uint64_t run = 0;
	uint32_t skip = in_block;
	for (; index < size_words_.size() && run < len; ++index) {
		if (!stored(index) || (run > 0 && (positions_[index] != begin + run || cached(m, index))))
			break;
		if (on_disk(size_words_[index]) != block_length(index))
			return -EIO;
		run += block_length(index) - skip;
		skip = 0;
	}
	len = std::min(run, len);
	return m.image().read_exact(begin, dst, static_cast<size_t>(len));
}

int File_data::read_block(const Medium &m, Worker_lease &lease, size_t index, size_t needed_end, uint32_t in_block,
			  uint32_t len, uint8_t *dst, Held &held) const
{
	uint32_t word = size_words_[index];
	uint32_t length = block_length(index);
	if (sparse(word)) {
		std::memset(dst, 0, len);
		return 0;
	}
	if (on_disk(word) > block_size_)
		return -EIO;
	Block_ptr block;
	if (held.has(index))
		block = held.blocks[index - held.first];
	if (!block) {
		int rc = load_run(m, lease, index, run_end(index, needed_end), held);
		if (rc < 0)
			return rc;
		block = held.blocks[0];
	}
	if (block->size() != length)
		return -EIO;
	std::memcpy(dst, block->data() + in_block, len);
	return 0;
}

// Stored blocks join runs too, so that an incompressible stretch of a file
// neither cuts the requests around it short nor makes requests of its own.
bool File_data::runs_on(size_t index) const
{
	uint32_t word = size_words_[index];
	if (sparse(word))
		return false;
	return compressed(word) ? on_disk(word) <= block_size_ : on_disk(word) == block_length(index);
}

// A file's blocks lie back to back in the image, in order.
uint64_t File_data::run_end(uint64_t first, uint64_t end) const
{
	end = std::min<uint64_t>({end, size_words_.size(), first + k_run_blocks});
	uint64_t i = first, bytes = 0;
	for (; i < end && runs_on(i); ++i) {
		bytes += on_disk(size_words_[i]);
		if (i > first && bytes > k_run_bytes)
			break;
	}
	return std::max(i, first + 1);
}

// Requests to the store for the blocks [first, end), read as one run.
uint64_t File_data::store_requests(uint64_t first, uint64_t end) const
{
	uint64_t stop = positions_[end - 1] + on_disk(size_words_[end - 1]);
	Image_file::Span span = Image_file::direct_span(positions_[first], stop - positions_[first]);
	return (span.end - span.begin + k_request_bytes - 1) / k_request_bytes;
}

uint64_t File_data::ahead_run_end(uint64_t first) const
{
	uint64_t data = std::min<uint64_t>(k_run_data, data_cache().bound() / 8);
	uint64_t end = run_end(first, first + std::clamp<uint64_t>(data / block_size_, 1, k_run_blocks));
	if (end >= size_words_.size() || !runs_on(end))
		return end; // the run could not go on: nothing to gain
	uint64_t whole = store_requests(first, end) - 1;
	uint64_t cut = end;
	while (cut > first + 1 && store_requests(first, cut) > whole)
		--cut;
	return store_requests(first, cut) <= whole ? cut : end;
}

int File_data::prefetch(const Medium &m, uint64_t first, uint64_t end) const
{
	end = std::min<uint64_t>(end, size_words_.size());
	Worker_lease lease(m);
	int rc = 0;
	for (uint64_t i = first; i < end; ++i) {
		if (!runs_on(i) || cached(m, i))
			continue; // refused when read, or there already
		Held held;
		int loaded = load_run(m, lease, i, ahead_run_end(i), held);
		rc = rc < 0 ? rc : loaded;
		i = held.first + held.blocks.size() - 1;
	}
	return rc;
}

struct File_data::Run {
	Run(size_t from, size_t to, Held &h) : first(from), end(from), limit(to), held(h) {}
	size_t first;     // blocks claimed: [first, end)
	size_t end;
	size_t limit;     // where the run must stop
	Held &held;
	bool read = false;
	std::unique_ptr<uint8_t[]> buffer;
	const uint8_t *data = nullptr; // the run's bytes, once read
};

// Blocks [first, limit) that nobody else loads, from the data cache or with
// one request; held gets them from first on. 0 or the negative errno of
// block first.
int File_data::load_run(const Medium &m, Worker_lease &lease, size_t first, size_t limit, Held &held) const
{
	Run run(first, limit, held);
	held.first = first;
	held.blocks.assign(limit - first, nullptr);
	int rc = claim(m, lease, run, first);
	held.blocks.resize(std::max(run.end, first + 1) - first);
	return rc;
}

// Claims block index in the data cache (get() marks it as being loaded, so
// that a reader of it waits for this run instead of reading it again), then
// the next block inside the loader, and so on: the innermost call makes the
// one request for all of them, and each block is decompressed as the calls
// return. A run claims blocks in the order of their image offsets and stops
// at one that is loaded or being loaded, so two runs never wait for each
// other in a circle.
int File_data::claim(const Medium &m, Worker_lease &lease, Run &run, size_t index) const
{
	Block_ptr block;
	int rc = data_cache().get(Cache_key{m.serial(), positions_[index]},
				  [&](Block_ptr &loaded) {
					  run.end = index + 1;
					  size_t next = index + 1;
					  if (next < run.limit && !cached(m, next))
						  claim(m, lease, run, next); // its failure is its block's own
					  if (!run.read && run.end - run.first > 1) {
						  uint64_t begin = positions_[run.first];
						  uint64_t end = positions_[run.end - 1] + on_disk(size_words_[run.end - 1]);
						  if (m.image().read_run(begin, end - begin, run.buffer, run.data) < 0)
							  run.data = nullptr; // each block tries on its own
					  }
					  run.read = true;
					  return unpack(m, lease, run, index, loaded);
				  },
				  block);
	run.held.blocks[index - run.first] = std::move(block);
	return rc;
}

int File_data::unpack(const Medium &m, Worker_lease &lease, Run &run, size_t index, Block_ptr &out) const
{
	uint32_t word = size_words_[index];
	const uint8_t *src = run.data ? run.data + (positions_[index] - positions_[run.first]) : nullptr;
	if (!compressed(word))
		return copy_stored(m, index, src, out);
	Worker *w = nullptr;
	int rc = lease.get(w);
	if (rc < 0)
		return rc;
	if (!src)
		return decompress(m, *w, positions_[index], word, block_length(index), out);
	return decode(*w, src, word, block_length(index), out);
}

// A stored block as the data cache holds it: from the run's bytes, or read on
// its own when the run's request failed.
int File_data::copy_stored(const Medium &m, size_t index, const uint8_t *src, Block_ptr &out) const
{
	if (on_disk(size_words_[index]) != block_length(index))
		return -EIO;
	auto block = std::make_shared<Block>(block_length(index));
	block->resize(block->capacity());
	if (src)
		std::memcpy(block->data(), src, block->size());
	else if (int rc = m.image().read_exact(positions_[index], block->data(), block->size()); rc < 0)
		return rc;
	out = std::move(block);
	return 0;
}

int File_data::read_tail(const Medium &m, Worker_lease &lease, uint32_t in_tail,
			 uint32_t len, uint8_t *dst) const
{
	if (!has_tail_)
		return -EIO;
	uint64_t start;
	uint32_t word;
	int rc = m.fragment(fragment_index_, start, word);
	if (rc < 0)
		return rc;
	uint64_t tail = size_ % block_size_;
	if (on_disk(word) > block_size_ || uint64_t(fragment_offset_) + tail > block_size_)
		return -EIO;
	if (!compressed(word)) {
		if (uint64_t(fragment_offset_) + tail > on_disk(word))
			return -EIO;
		return m.image().read_exact(start + fragment_offset_ + in_tail, dst, len);
	}
	Block_ptr block;
	if ((rc = cached_block(m, lease, start, word, 0, block)) < 0)
		return rc;
	if (uint64_t(fragment_offset_) + tail > block->size())
		return -EIO;
	std::memcpy(dst, block->data() + fragment_offset_ + in_tail, len);
	return 0;
}

// One block from the data cache, decompressed there by whichever reader asks
// first. expect is the block's exact length, or 0 for a fragment block whose
// length is only bounded.
int File_data::cached_block(const Medium &m, Worker_lease &lease, uint64_t pos, uint32_t size_word,
			    uint32_t expect, Block_ptr &out) const
{
	return data_cache().get(Cache_key{m.serial(), pos},
				[&](Block_ptr &loaded) {
					Worker *w = nullptr;
					int rc = lease.get(w);
					return rc < 0 ? rc : decompress(m, *w, pos, size_word, expect, loaded);
				},
				out);
}

int File_data::decompress(const Medium &m, Worker &w, uint64_t pos, uint32_t size_word, uint32_t expect,
			  Block_ptr &out) const
{
	if (w.scratch.size() < block_size_)
		w.scratch.resize(block_size_);
	int rc = m.image().read_exact(pos, w.scratch.data(), on_disk(size_word));
	return rc < 0 ? rc : decode(w, w.scratch.data(), size_word, expect, out);
}

int File_data::decode(Worker &w, const uint8_t *src, uint32_t size_word, uint32_t expect, Block_ptr &out) const
{
	auto block = std::make_shared<Block>(block_size_);
	sqfs_s32 n = w.compressor->do_block(w.compressor.get(), src, on_disk(size_word), block->data(), block_size_);
	if (n <= 0 || (expect != 0 && static_cast<uint32_t>(n) != expect))
		return -EIO;
	block->resize(static_cast<size_t>(n));
	out = std::move(block);
	return 0;
}

} // namespace qor

// Bounded cache of decompressed data and fragment blocks of one medium,
// keyed by the block's position in the image. Sharded so that readers on
// different blocks rarely meet on a lock.
#ifndef QOR_BLOCK_CACHE_HPP
#define QOR_BLOCK_CACHE_HPP

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace qor {

// A decompressed block; its bytes are not zeroed first.
class Block {
public:
	explicit Block(size_t capacity) : bytes_(new uint8_t[capacity]) {}
	uint8_t *data() { return bytes_.get(); }
	const uint8_t *data() const { return bytes_.get(); }
	size_t size() const { return size_; }
	void resize(size_t n) { size_ = n; }

private:
	std::unique_ptr<uint8_t[]> bytes_;
	size_t size_ = 0;
};
using Block_ptr = std::shared_ptr<const Block>;

class Block_cache {
public:
	explicit Block_cache(size_t capacity_bytes);

	Block_ptr find(uint64_t key);
	void insert(uint64_t key, Block_ptr block);

private:
	struct Shard {
		std::mutex mutex;
		std::list<uint64_t> lru; // most recently used first
		struct Slot {
			Block_ptr block;
			std::list<uint64_t>::iterator lru_pos;
		};
		std::unordered_map<uint64_t, Slot> slots;
		size_t bytes = 0;
	};
	static constexpr size_t k_shards = 16;

	Shard &shard_of(uint64_t key);

	size_t shard_capacity_;
	std::array<Shard, k_shards> shards_;
};

} // namespace qor

#endif

// The process-wide cache of decompressed data blocks (file blocks and
// fragment blocks), apart from the metadata caches so that streaming a large
// file never evicts listings. Its bound covers every block it holds; a block
// being decompressed is not in it yet, and concurrent readers of that block
// wait for the one decompression instead of starting their own.
#ifndef QOR_DATA_CACHE_H
#define QOR_DATA_CACHE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "caches.h"

namespace qor {

struct Data_cache_stats {
	uint64_t capacity = 0; // bytes
	uint64_t bytes = 0;    // bytes held now
	uint64_t peak = 0;     // most bytes ever held at once
	uint64_t hits = 0;
	uint64_t loads = 0;    // blocks decompressed into the cache
	uint64_t waits = 0;    // readers that waited for another's decompression
};

class Data_cache {
public:
	// Decompresses one block into a new Block; 0 or a negative errno.
	using Loader = std::function<int(Block_ptr &)>;

	explicit Data_cache(size_t shards);

	// The cached block, or the result of load() run once among all callers
	// asking for the same key at the same time. No lock is held while
	// load() runs. 0 or a negative errno.
	int get(const Cache_key &key, const Loader &load, Block_ptr &out);
	bool contains(const Cache_key &key);
	// Drops every block of a medium that is going away.
	void forget(uint64_t medium);

	// Evicts down to the new bound at once.
	void set_capacity(uint64_t bytes);
	uint64_t capacity() const { return capacity_.load(std::memory_order_relaxed); }
	Data_cache_stats stats();
	void clear();

	// Bytes a block is charged: its whole buffer, not only its data.
	static size_t charge(const Block &b) { return b.capacity() + sizeof(Block) + k_entry_overhead; }

private:
	static constexpr size_t k_entry_overhead = 96; // map node, list node, control block
	// Room for eight blocks of the largest size (1 MiB) in every shard in use.
	static constexpr uint64_t k_min_shard_bytes = uint64_t(8) << 20;

	struct Pending {
		std::mutex mutex;
		std::condition_variable done_cv;
		bool done = false;
		int rc = 0;
		Block_ptr block;
	};
	struct Slot {
		Block_ptr value;
		std::list<Cache_key>::iterator lru_pos;
	};
	struct Shard {
		std::mutex mutex;
		std::list<Cache_key> lru; // most recently used first
		std::unordered_map<Cache_key, Slot, Cache_key_hash> slots;
		std::unordered_map<Cache_key, std::shared_ptr<Pending>, Cache_key_hash> pending;
		uint64_t bytes = 0;
	};

	Shard &shard_of(const Cache_key &key)
	{
		return *shards_[Cache_key_hash()(key) % active_.load(std::memory_order_relaxed)];
	}
	uint64_t shard_capacity() const { return capacity() / active_.load(std::memory_order_relaxed); }
	size_t shards_for(uint64_t bytes) const;
	// Caller holds s.mutex; evicted blocks are freed by the caller after unlocking.
	void evict(Shard &s, uint64_t bound, std::vector<Block_ptr> &evicted);
	void store(Shard &s, const Cache_key &key, Block_ptr block, std::vector<Block_ptr> &evicted);
	void account(int64_t delta);
	// Ends the load of `key`: stores a loaded block and wakes whoever waits.
	void finish(Shard &s, const Cache_key &key, int rc, const Block_ptr &block);
	static int wait_for(Pending &p, Block_ptr &out);

	std::atomic<uint64_t> capacity_;
	std::atomic<size_t> active_{1}; // shards in use, from the front
	std::atomic<uint64_t> bytes_{0}, peak_{0}, hits_{0}, loads_{0}, waits_{0};
	std::vector<std::unique_ptr<Shard>> shards_;
};

Data_cache &data_cache();

// A quarter of physical memory, at most 4 GiB.
uint64_t default_data_cache_size();

} // namespace qor

#endif

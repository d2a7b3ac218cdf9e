// The process-wide metadata cache of directory listings, shared by all open
// media under one memory bound (data blocks have their own cache, in
// data_cache.h). Entries are keyed by
// a medium's serial number, never reused, so a closed medium's entries can
// only age out and never be found by another medium.
#ifndef QOR_CACHES_H
#define QOR_CACHES_H

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "listing.h"

namespace qor {

// A decompressed block; its bytes are not zeroed first.
class Block {
public:
	explicit Block(size_t capacity) : bytes_(new uint8_t[capacity]), capacity_(capacity) {}
	uint8_t *data() { return bytes_.get(); }
	const uint8_t *data() const { return bytes_.get(); }
	size_t size() const { return size_; }
	size_t capacity() const { return capacity_; }
	void resize(size_t n) { size_ = n; }

private:
	std::unique_ptr<uint8_t[]> bytes_;
	size_t capacity_;
	size_t size_ = 0;
};
using Block_ptr = std::shared_ptr<const Block>;

inline size_t cache_bytes(const Listing &l) { return l.bytes(); }

struct Cache_key {
	uint64_t medium; // Medium::serial()
	uint64_t item;   // image offset of a block, inode number of a directory
	bool operator==(const Cache_key &o) const { return medium == o.medium && item == o.item; }
};

struct Cache_key_hash {
	size_t operator()(const Cache_key &k) const
	{
		uint64_t h = (k.item ^ (k.medium << 48)) * 0x9e3779b97f4a7c15ULL;
		return static_cast<size_t>(h ^ (h >> 29));
	}
};

// Least-recently-used cache of immutable values, in shards with a lock each.
template <class V> class Lru_cache {
public:
	Lru_cache(size_t capacity_bytes, size_t shards) : shard_capacity_(capacity_bytes / shards)
	{
		for (size_t i = 0; i < shards; ++i)
			shards_.push_back(std::make_unique<Shard>());
	}

	std::shared_ptr<const V> find(const Cache_key &key)
	{
		Shard &s = shard_of(key);
		std::lock_guard<std::mutex> lock(s.mutex);
		auto it = s.slots.find(key);
		if (it == s.slots.end())
			return nullptr;
		s.lru.splice(s.lru.begin(), s.lru, it->second.lru_pos);
		return it->second.value;
	}

	void insert(const Cache_key &key, std::shared_ptr<const V> value)
	{
		std::vector<std::shared_ptr<const V>> evicted; // freed outside the lock
		Shard &s = shard_of(key);
		std::lock_guard<std::mutex> lock(s.mutex);
		if (s.slots.count(key) != 0)
			return;
		s.lru.push_front(key);
		s.bytes += cache_bytes(*value);
		s.slots.emplace(key, Slot{std::move(value), s.lru.begin()});
		while (s.bytes > shard_capacity_ && s.lru.size() > 1) {
			auto victim = s.slots.find(s.lru.back());
			s.bytes -= cache_bytes(*victim->second.value);
			evicted.push_back(std::move(victim->second.value));
			s.slots.erase(victim);
			s.lru.pop_back();
		}
	}

	void clear()
	{
		for (auto &shard : shards_) {
			std::unordered_map<Cache_key, Slot, Cache_key_hash> old;
			std::lock_guard<std::mutex> lock(shard->mutex);
			old.swap(shard->slots);
			shard->lru.clear();
			shard->bytes = 0;
		}
	}

private:
	struct Slot {
		std::shared_ptr<const V> value;
		typename std::list<Cache_key>::iterator lru_pos;
	};
	struct Shard {
		std::mutex mutex;
		std::list<Cache_key> lru; // most recently used first
		std::unordered_map<Cache_key, Slot, Cache_key_hash> slots;
		size_t bytes = 0;
	};

	Shard &shard_of(const Cache_key &key) { return *shards_[Cache_key_hash()(key) % shards_.size()]; }

	size_t shard_capacity_;
	std::vector<std::unique_ptr<Shard>> shards_;
};

Lru_cache<Listing> &listing_cache();

} // namespace qor

#endif

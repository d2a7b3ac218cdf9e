#include "block_cache.hpp"

namespace qor {

Block_cache::Block_cache(size_t capacity_bytes) : shard_capacity_(capacity_bytes / k_shards) {}

Block_cache::Shard &Block_cache::shard_of(uint64_t key)
{
	uint64_t h = key * 0x9e3779b97f4a7c15ULL;
	return shards_[(h >> 59) % k_shards];
}

Block_ptr Block_cache::find(uint64_t key)
{
	Shard &s = shard_of(key);
	std::lock_guard<std::mutex> lock(s.mutex);
	auto it = s.slots.find(key);
	if (it == s.slots.end())
		return nullptr;
	s.lru.splice(s.lru.begin(), s.lru, it->second.lru_pos);
	return it->second.block;
}

void Block_cache::insert(uint64_t key, Block_ptr block)
{
	Shard &s = shard_of(key);
	std::lock_guard<std::mutex> lock(s.mutex);
	if (s.slots.count(key) != 0)
		return;
	s.lru.push_front(key);
	s.bytes += block->size();
	s.slots.emplace(key, Shard::Slot{std::move(block), s.lru.begin()});
	while (s.bytes > shard_capacity_ && s.lru.size() > 1) {
		auto victim = s.slots.find(s.lru.back());
		s.bytes -= victim->second.block->size();
		s.slots.erase(victim);
		s.lru.pop_back();
	}
}

} // namespace qor

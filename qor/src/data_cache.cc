#include "data_cache.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace qor {

Data_cache::Data_cache(size_t shards) : capacity_(default_data_cache_size())
{
	for (size_t i = 0; i < shards; ++i)
		shards_.push_back(std::make_unique<Shard>());
	active_.store(shards_for(capacity()), std::memory_order_relaxed);
}

void Data_cache::account(int64_t delta)
{
	uint64_t now = bytes_.fetch_add(static_cast<uint64_t>(delta), std::memory_order_relaxed) + delta;
	uint64_t peak = peak_.load(std::memory_order_relaxed);
	while (now > peak && !peak_.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
	}
}

void Data_cache::evict(Shard &s, uint64_t bound, std::vector<Block_ptr> &evicted)
{
	while (s.bytes > bound && !s.lru.empty()) {
		auto victim = s.slots.find(s.lru.back());
		size_t n = charge(*victim->second.value);
		s.bytes -= n;
		account(-static_cast<int64_t>(n));
		evicted.push_back(std::move(victim->second.value));
		s.slots.erase(victim);
		s.lru.pop_back();
	}
}

void Data_cache::store(Shard &s, const Cache_key &key, Block_ptr block, std::vector<Block_ptr> &evicted)
{
	size_t n = charge(*block);
	uint64_t bound = shard_capacity();
	if (n > bound || s.slots.count(key) != 0)
		return;
	// Make room first, so the bound holds at every moment.
	evict(s, bound - n, evicted);
	s.lru.push_front(key);
	s.slots.emplace(key, Slot{std::move(block), s.lru.begin()});
	s.bytes += n;
	account(static_cast<int64_t>(n));
}

int Data_cache::wait_for(Pending &p, Block_ptr &out)
{
	std::unique_lock<std::mutex> lock(p.mutex);
	p.done_cv.wait(lock, [&] { return p.done; });
	out = p.block;
	return p.rc;
}

int Data_cache::get(const Cache_key &key, const Loader &load, Block_ptr &out)
{
	Shard &s = shard_of(key);
	std::shared_ptr<Pending> pending;
	{
		std::lock_guard<std::mutex> lock(s.mutex);
		auto it = s.slots.find(key);
		if (it != s.slots.end()) {
			s.lru.splice(s.lru.begin(), s.lru, it->second.lru_pos);
			out = it->second.value;
			hits_.fetch_add(1, std::memory_order_relaxed);
			return 0;
		}
		auto p = s.pending.find(key);
		if (p != s.pending.end()) {
			pending = p->second;
		} else {
			s.pending.emplace(key, std::make_shared<Pending>());
		}
	}
	if (pending) {
		waits_.fetch_add(1, std::memory_order_relaxed);
		return wait_for(*pending, out);
	}

	Block_ptr block;
	int rc;
	try {
		rc = load(block);
	} catch (...) {
		// Waiters must never hang on a load that ended by an exception.
		finish(s, key, -ENOMEM, nullptr);
		throw;
	}
	loads_.fetch_add(1, std::memory_order_relaxed);
	finish(s, key, rc, rc == 0 ? block : nullptr);
	out = std::move(block);
	return rc;
}

void Data_cache::finish(Shard &s, const Cache_key &key, int rc, const Block_ptr &block)
{
	std::shared_ptr<Pending> pending;
	std::vector<Block_ptr> evicted; // freed outside the lock
	{
		std::lock_guard<std::mutex> lock(s.mutex);
		auto p = s.pending.find(key);
		pending = std::move(p->second);
		s.pending.erase(p);
		if (block)
			store(s, key, block, evicted);
	}
	{
		std::lock_guard<std::mutex> lock(pending->mutex);
		pending->done = true;
		pending->rc = rc;
		pending->block = block;
	}
	pending->done_cv.notify_all();
}

bool Data_cache::contains(const Cache_key &key)
{
	Shard &s = shard_of(key);
	std::lock_guard<std::mutex> lock(s.mutex);
	return s.slots.count(key) != 0 || s.pending.count(key) != 0;
}

void Data_cache::forget(uint64_t medium)
{
	for (auto &shard : shards_) {
		std::vector<Block_ptr> dropped;
		std::lock_guard<std::mutex> lock(shard->mutex);
		Shard &s = *shard;
		for (auto it = s.lru.begin(); it != s.lru.end();) {
			if (it->medium != medium) {
				++it;
				continue;
			}
			auto slot = s.slots.find(*it);
			size_t n = charge(*slot->second.value);
			s.bytes -= n;
			account(-static_cast<int64_t>(n));
			dropped.push_back(std::move(slot->second.value));
			s.slots.erase(slot);
			it = s.lru.erase(it);
		}
	}
}

size_t Data_cache::shards_for(uint64_t bytes) const
{
	return static_cast<size_t>(std::clamp<uint64_t>(bytes / k_min_shard_bytes, 1, shards_.size()));
}

void Data_cache::set_capacity(uint64_t bytes)
{
	// A small cache is split into fewer shards, so that each can still hold
	// blocks of the largest size; blocks of shards no longer used are dropped.
	size_t active = shards_for(bytes);
	bool regroup = active != active_.load(std::memory_order_relaxed);
	capacity_.store(bytes, std::memory_order_relaxed);
	active_.store(active, std::memory_order_relaxed);
	for (size_t i = 0; i < shards_.size(); ++i) {
		std::vector<Block_ptr> evicted;
		std::lock_guard<std::mutex> lock(shards_[i]->mutex);
		evict(*shards_[i], regroup || i >= active ? 0 : shard_capacity(), evicted);
	}
}

Data_cache_stats Data_cache::stats()
{
	Data_cache_stats st;
	st.capacity = capacity();
	st.bytes = bytes_.load(std::memory_order_relaxed);
	st.peak = peak_.load(std::memory_order_relaxed);
	st.hits = hits_.load(std::memory_order_relaxed);
	st.loads = loads_.load(std::memory_order_relaxed);
	st.waits = waits_.load(std::memory_order_relaxed);
	return st;
}

void Data_cache::clear()
{
	for (auto &shard : shards_) {
		std::unordered_map<Cache_key, Slot, Cache_key_hash> old;
		std::lock_guard<std::mutex> lock(shard->mutex);
		old.swap(shard->slots);
		shard->lru.clear();
		account(-static_cast<int64_t>(shard->bytes));
		shard->bytes = 0;
	}
	peak_.store(bytes_.load(std::memory_order_relaxed), std::memory_order_relaxed);
	hits_.store(0, std::memory_order_relaxed);
	loads_.store(0, std::memory_order_relaxed);
	waits_.store(0, std::memory_order_relaxed);
}

uint64_t default_data_cache_size()
{
	long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
	if (pages <= 0 || page <= 0)
		return 256u << 20;
	return std::min<uint64_t>(uint64_t(pages) * uint64_t(page) / 4, uint64_t(4) << 30);
}

// Never destroyed, like the other caches: qor_c_fini empties it.
Data_cache &data_cache()
{
	static auto *cache = new Data_cache(16);
	return *cache;
}

} // namespace qor

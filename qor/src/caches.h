// The process-wide caches shared by all open media, each under one memory
// bound: directory listings, and decompressed data blocks apart from them so
// that streaming a large file never evicts the listings that walks need.
// Entries are keyed by a medium's serial number, never reused, so a closed
// medium's entries can never be found by another medium.
#ifndef QOR_CACHES_H
#define QOR_CACHES_H

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <functional>
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

// Bytes an entry is charged: all it holds, with the map node, list node and
// control block of its slot.
constexpr size_t k_cache_entry_overhead = 96;
inline size_t cache_bytes(const Listing &l) { return l.bytes() + k_cache_entry_overhead; }
inline size_t cache_bytes(const Block &b) { return b.capacity() + sizeof(Block) + k_cache_entry_overhead; }

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

struct Cache_stats {
	uint64_t capacity = 0; // bytes, as configured
	uint64_t bound = 0;    // bytes it may hold now: less while memory is short
	uint64_t bytes = 0;    // bytes held now
	uint64_t peak = 0;     // most bytes ever held at once
	uint64_t hits = 0;
	uint64_t loads = 0; // values loaded into the cache by get()
	uint64_t waits = 0; // callers of get() that waited for another's load
};

// Least-recently-used cache of immutable values in shards with a lock each,
// under one bound for all shards. A key always lives in the same shard, so
// the bound can change at any time, also while values are being stored.
// Values are shared: one evicted while someone reads it lives until that
// reader lets it go.
template <class V> class Lru_cache {
public:
	using Value = std::shared_ptr<const V>;
	// Makes the value of a key; 0 or a negative errno.
	using Loader = std::function<int(Value &)>;
	// While memory is short, the cache holds at most this part of its capacity.
	static constexpr uint64_t k_yield_divisor = 4;

	Lru_cache(uint64_t capacity, size_t shards) : capacity_(capacity), bound_(capacity)
	{
		for (size_t i = 0; i < std::max<size_t>(shards, 1); ++i)
			shards_.push_back(std::make_unique<Shard>());
	}

	Value find(const Cache_key &key)
	{
		Shard &s = shard_of(key);
		std::lock_guard<std::mutex> lock(s.mutex);
		return hit(s, key);
	}

	void insert(const Cache_key &key, Value value) { store(shard_of(key), key, std::move(value)); }

	// The cached value, or the result of load() run once among all callers
	// asking for the same key at the same time. No lock is held while load()
	// runs. 0 or a negative errno.
	int get(const Cache_key &key, const Loader &load, Value &out)
	{
		Shard &s = shard_of(key);
		std::shared_ptr<Pending> pending;
		{
			std::lock_guard<std::mutex> lock(s.mutex);
			if ((out = hit(s, key)))
				return 0;
			auto p = s.pending.find(key);
			if (p != s.pending.end())
				pending = p->second;
			else
				s.pending.emplace(key, std::make_shared<Pending>());
		}
		if (pending) {
			waits_.fetch_add(1, std::memory_order_relaxed);
			return wait_for(*pending, out);
		}
		Value value;
		int rc;
		try {
			rc = load(value);
		} catch (...) {
			// Waiters must never hang on a load that ended by an exception.
			finish(s, key, -ENOMEM, nullptr);
			throw;
		}
		loads_.fetch_add(1, std::memory_order_relaxed);
		finish(s, key, rc, rc == 0 ? value : nullptr);
		out = std::move(value);
		return rc;
	}

	// Held or being loaded.
	bool contains(const Cache_key &key)
	{
		Shard &s = shard_of(key);
		std::lock_guard<std::mutex> lock(s.mutex);
		return s.slots.count(key) != 0 || s.pending.count(key) != 0;
	}

	// Drops every value of these media (sorted serial numbers).
	void forget(const std::vector<uint64_t> &media)
	{
		for (auto &shard : shards_) {
			std::vector<Value> dropped; // freed outside the lock
			std::lock_guard<std::mutex> lock(shard->mutex);
			for (auto it = shard->lru.begin(); it != shard->lru.end();) {
				if (std::binary_search(media.begin(), media.end(), it->medium))
					drop(*shard, it++, dropped);
				else
					++it;
			}
		}
	}

	// Evicts down to the new bound at once.
	void set_capacity(uint64_t bytes)
	{
		std::lock_guard<std::mutex> lock(bound_mutex_);
		capacity_.store(bytes, std::memory_order_relaxed);
		set_bound(yielding_ ? bytes / k_yield_divisor : bytes);
	}

	// While memory is short the cache gives values back and holds at most a
	// part of its capacity; it grows again when told that memory is back.
	void yield(bool short_of_memory)
	{
		std::lock_guard<std::mutex> lock(bound_mutex_);
		yielding_ = short_of_memory;
		uint64_t capacity = capacity_.load(std::memory_order_relaxed);
		set_bound(short_of_memory ? capacity / k_yield_divisor : capacity);
	}

	uint64_t capacity() const { return capacity_.load(std::memory_order_relaxed); }
	uint64_t bound() const { return bound_.load(std::memory_order_relaxed); }

	Cache_stats stats() const
	{
		Cache_stats st;
		st.capacity = capacity();
		st.bound = bound();
		st.bytes = bytes_.load(std::memory_order_relaxed);
		st.peak = peak_.load(std::memory_order_relaxed);
		st.hits = hits_.load(std::memory_order_relaxed);
		st.loads = loads_.load(std::memory_order_relaxed);
		st.waits = waits_.load(std::memory_order_relaxed);
		return st;
	}

	// Drops every value and starts the counts again.
	void clear()
	{
		for (auto &shard : shards_) {
			std::vector<Value> dropped;
			std::lock_guard<std::mutex> lock(shard->mutex);
			while (!shard->lru.empty())
				drop(*shard, std::prev(shard->lru.end()), dropped);
		}
		peak_.store(bytes_.load(std::memory_order_relaxed), std::memory_order_relaxed);
		hits_.store(0, std::memory_order_relaxed);
		loads_.store(0, std::memory_order_relaxed);
		waits_.store(0, std::memory_order_relaxed);
	}

private:
	struct Pending {
		std::mutex mutex;
		std::condition_variable done_cv;
		bool done = false;
		int rc = 0;
		Value value;
	};
	struct Slot {
		Value value;
		typename std::list<Cache_key>::iterator lru_pos;
	};
	struct Shard {
		std::mutex mutex;
		std::list<Cache_key> lru; // most recently used first
		std::unordered_map<Cache_key, Slot, Cache_key_hash> slots;
		std::unordered_map<Cache_key, std::shared_ptr<Pending>, Cache_key_hash> pending;
	};

	Shard &shard_of(const Cache_key &key) { return *shards_[Cache_key_hash()(key) % shards_.size()]; }

	// Caller holds s.mutex.
	Value hit(Shard &s, const Cache_key &key)
	{
		auto it = s.slots.find(key);
		if (it == s.slots.end())
			return nullptr;
		s.lru.splice(s.lru.begin(), s.lru, it->second.lru_pos);
		hits_.fetch_add(1, std::memory_order_relaxed);
		return it->second.value;
	}

	// Caller holds s.mutex; the value is freed by the caller after unlocking.
	void drop(Shard &s, typename std::list<Cache_key>::iterator pos, std::vector<Value> &dropped)
	{
		auto slot = s.slots.find(*pos);
		bytes_.fetch_sub(cache_bytes(*slot->second.value), std::memory_order_relaxed);
		dropped.push_back(std::move(slot->second.value));
		s.slots.erase(slot);
		s.lru.erase(pos);
	}

	// Counts n more bytes if the bound leaves room for them.
	bool reserve(uint64_t n)
	{
		uint64_t now = bytes_.load(std::memory_order_relaxed);
		do {
			if (n > bound() || now > bound() - n)
				return false;
		} while (!bytes_.compare_exchange_weak(now, now + n, std::memory_order_relaxed));
		uint64_t peak = peak_.load(std::memory_order_relaxed);
		while (now + n > peak && !peak_.compare_exchange_weak(peak, now + n, std::memory_order_relaxed)) {
		}
		return true;
	}

	// Caller holds s.mutex. Makes room in s first, so the bound holds at
	// every moment; false when s has too little to give.
	bool store_locked(Shard &s, const Cache_key &key, Value &value, std::vector<Value> &evicted)
	{
		if (s.slots.count(key) != 0)
			return true;
		size_t n = cache_bytes(*value);
		while (!reserve(n)) {
			if (s.lru.empty())
				return false;
			drop(s, std::prev(s.lru.end()), evicted);
		}
		s.lru.push_front(key);
		s.slots.emplace(key, Slot{std::move(value), s.lru.begin()});
		return true;
	}

	void store(Shard &s, const Cache_key &key, Value value)
	{
		if (cache_bytes(*value) > bound())
			return;
		{
			std::vector<Value> evicted; // freed outside the lock
			std::lock_guard<std::mutex> lock(s.mutex);
			if (store_locked(s, key, value, evicted))
				return;
		}
		// The other shards hold the room: take it from them, one lock at a time.
		uint64_t n = cache_bytes(*value), b = bound();
		trim(n < b ? b - n : 0);
		std::vector<Value> evicted;
		std::lock_guard<std::mutex> lock(s.mutex);
		store_locked(s, key, value, evicted);
	}

	// Evicts the least recently used value of one shard after another until
	// at most `target` bytes are held.
	void trim(uint64_t target)
	{
		for (size_t empty = 0; bytes_.load(std::memory_order_relaxed) > target && empty < shards_.size();) {
			Shard &s = *shards_[next_victim_.fetch_add(1, std::memory_order_relaxed) % shards_.size()];
			std::vector<Value> evicted;
			std::lock_guard<std::mutex> lock(s.mutex);
			if (s.lru.empty()) {
				++empty;
				continue;
			}
			drop(s, std::prev(s.lru.end()), evicted);
			empty = 0;
		}
	}

	// Caller holds bound_mutex_.
	void set_bound(uint64_t bytes)
	{
		bound_.store(bytes, std::memory_order_relaxed);
		trim(bytes);
	}

	// Ends the load of `key`: stores a loaded value and wakes whoever waits.
	void finish(Shard &s, const Cache_key &key, int rc, const Value &value)
	{
		// Stored while still pending, so that nobody starts a second load.
		if (value)
			store(s, key, value);
		std::shared_ptr<Pending> pending;
		{
			std::lock_guard<std::mutex> lock(s.mutex);
			auto p = s.pending.find(key);
			pending = std::move(p->second);
			s.pending.erase(p);
		}
		{
			std::lock_guard<std::mutex> lock(pending->mutex);
			pending->done = true;
			pending->rc = rc;
			pending->value = value;
		}
		pending->done_cv.notify_all();
	}

	static int wait_for(Pending &p, Value &out)
	{
		std::unique_lock<std::mutex> lock(p.mutex);
		p.done_cv.wait(lock, [&] { return p.done; });
		out = p.value;
		return p.rc;
	}

	std::mutex bound_mutex_; // orders changes of capacity_, yielding_ and bound_
	std::atomic<uint64_t> capacity_, bound_;
	bool yielding_ = false;
	std::atomic<uint64_t> bytes_{0}, peak_{0}, hits_{0}, loads_{0}, waits_{0};
	std::atomic<size_t> next_victim_{0};
	std::vector<std::unique_ptr<Shard>> shards_;
};

using Data_cache = Lru_cache<Block>;

// Never destroyed: qor_c_fini empties them, after the static destructors of
// a dlopen()ed library have run.
Lru_cache<Listing> &listing_cache();
Data_cache &data_cache();

} // namespace qor

#endif

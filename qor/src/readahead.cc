#include "readahead.h"

#include <algorithm>
#include <system_error>

namespace qor {

namespace {

// Reads in a row that start near the previous end before read-ahead begins:
// two random reads land that close in a large file only by rare chance.
constexpr uint32_t k_sequential_run = 3;
constexpr uint64_t k_max_ahead = 16u << 20;
// Read-ahead is queued in steps of at least this much data (or half the
// window), so that its runs of blocks make large requests to the store even
// for a reader of small pieces.
constexpr uint64_t k_min_step = 2u << 20;
constexpr size_t k_max_queued = 256;
// Threads of the pool: at least k_min_threads, since a thread that waits for
// a slow store decompresses nothing meanwhile, at most one per core beyond.
constexpr unsigned k_min_threads = 4;
constexpr unsigned k_max_threads = 8;

} // namespace

Readahead_range Stream::observe(uint64_t offset, uint64_t count, uint64_t file_size, uint32_t block_size,
				uint64_t cache_capacity)
{
	// A cache that cannot hold several blocks would evict read-ahead before
	// the reader gets there: every block would be decompressed twice.
	if (offset >= file_size || count == 0 || cache_capacity / 8 < block_size)
		return {};
	count = std::min({count, file_size - offset, k_max_ahead}); // no sum below can overflow
	uint64_t end = offset + count;
	uint64_t unit = std::max<uint64_t>(count, block_size);
	uint64_t window = 4 * unit;
	std::lock_guard<std::mutex> lock(mutex_);
	Reader *r = nullptr;
	for (Reader &c : readers_)
		if (offset + window >= c.next && offset <= c.next + window && (!r || c.last_use > r->last_use))
			r = &c;
	if (!r) {
		// Someone new, or a random read: it takes the place of the reader
		// seen least recently.
		r = &*std::min_element(std::begin(readers_), std::end(readers_),
				       [](const Reader &a, const Reader &b) { return a.last_use < b.last_use; });
		*r = Reader{};
	}
	r->next = std::max(r->next, end);
	r->last_use = ++clock_;
	if (++r->run < k_sequential_run)
		return {};
	// Never so far ahead that the read-ahead evicts its own blocks. A stream
	// starts a few reads ahead, and each range queued doubles that: one that
	// goes on keeps a slow store busy with several runs at once, while one
	// that stops soon has little read for nothing.
	uint64_t first = std::max<uint64_t>(4 * unit, 8 * uint64_t(block_size));
	uint64_t ahead = std::min({std::max(first, r->reach), k_max_ahead, cache_capacity / 8});
	uint64_t target = std::min(file_size, end + ahead);
	uint64_t from = std::max(r->ahead, end);
	uint64_t step = std::min(ahead / 2, std::max(unit, k_min_step));
	if (from >= target || (from > end && target - from < step && target < file_size))
		return {};
	r->ahead = target;
	r->reach = std::min(2 * ahead, k_max_ahead);
	return {from, target};
}

Readahead_pool &Readahead_pool::instance()
{
	// Never destroyed: its threads are joined by qor_c_fini, before the
	// static destructors of a dlopen()ed library run.
	static auto *pool = new Readahead_pool;
	return *pool;
}

bool Readahead_pool::start_locked()
{
	unsigned n = std::clamp(std::thread::hardware_concurrency(), k_min_threads, k_max_threads);
	try {
		while (threads_.size() < n)
			threads_.emplace_back([this] { run(); });
	} catch (const std::system_error &) {
		// Fewer threads than wanted; none at all means no read-ahead.
	}
	return !threads_.empty();
}

bool Readahead_pool::submit(std::function<void()> task)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (stopping_ || queue_.size() >= k_max_queued)
			return false;
		if (threads_.empty() && !start_locked())
			return false;
		queue_.push_back(std::move(task));
		queued_.fetch_add(1, std::memory_order_relaxed);
	}
	wake_.notify_one();
	return true;
}

void Readahead_pool::run()
{
	std::unique_lock<std::mutex> lock(mutex_);
	for (;;) {
		wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
		if (stopping_)
			return;
		std::function<void()> task = std::move(queue_.front());
		queue_.pop_front();
		lock.unlock();
		task();
		task = nullptr; // its references go before the lock is taken again
		lock.lock();
	}
}

void Readahead_pool::stop()
{
	std::deque<std::function<void()>> dropped;
	std::vector<std::thread> threads;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		stopping_ = true;
		dropped.swap(queue_);
		threads.swap(threads_);
	}
	wake_.notify_all();
	for (auto &t : threads)
		t.join();
	dropped.clear();
}

void Readahead_pool::resume()
{
	std::lock_guard<std::mutex> lock(mutex_);
	stopping_ = false;
}

size_t Readahead_pool::threads()
{
	std::lock_guard<std::mutex> lock(mutex_);
	return threads_.size();
}

} // namespace qor

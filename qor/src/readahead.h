// Read-ahead for sequential streams: a descriptor that is read front to back
// has its next blocks decompressed into the data cache by a small pool of
// threads, so that one stream uses the spare cores. Random readers never
// start it.
#ifndef QOR_READAHEAD_H
#define QOR_READAHEAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qor {

// The bytes [begin, end) of a file to decompress ahead; empty when begin >= end.
struct Readahead_range {
	uint64_t begin = 0;
	uint64_t end = 0;
	bool empty() const { return begin >= end; }
};

// Where one descriptor's readers are. Several reads may run at once and
// arrive out of order (NFS clients keep several READs in flight), so a read
// counts as sequential when it starts near where an earlier one ended.
class Stream {
public:
	// Records a read of count bytes at offset; the range to decompress ahead,
	// or an empty one for a random read or when the pool is ahead already.
	Readahead_range observe(uint64_t offset, uint64_t count, uint64_t file_size, uint32_t block_size,
				uint64_t cache_capacity);

private:
	std::atomic<uint64_t> next_{0};  // end of the latest read
	std::atomic<uint32_t> run_{0};   // reads in a row that started near next_
	std::atomic<uint64_t> ahead_{0}; // read-ahead queued up to here
};

class Readahead_pool {
public:
	static Readahead_pool &instance();

	// Queues a task for the pool's threads, started on first use. False
	// (and nothing queued) when the queue is full, the pool is stopping or
	// no thread could be started.
	bool submit(std::function<void()> task);
	// Drops queued tasks, waits for running ones and joins every thread.
	// The pool starts again on the next submit.
	void stop();
	size_t threads();
	// Tasks accepted since the process started.
	uint64_t queued() const { return queued_.load(std::memory_order_relaxed); }

private:
	Readahead_pool() = default;
	void run();
	bool start_locked();

	std::mutex mutex_;
	std::condition_variable wake_;
	std::deque<std::function<void()>> queue_;
	std::vector<std::thread> threads_;
	bool stopping_ = false;
	std::atomic<uint64_t> queued_{0};
};

} // namespace qor

#endif

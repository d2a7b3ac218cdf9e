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

// Where one descriptor's readers are. All NFS clients of a file share its
// descriptor, each keeps several READs in flight, and they arrive out of
// order: a read continues a reader's stream when it starts near where that
// reader's latest read ended. A few readers are followed at once.
class Stream {
public:
	// Records a read of count bytes at offset; the range to decompress ahead,
	// or an empty one for a random read or when the pool is ahead already.
	Readahead_range observe(uint64_t offset, uint64_t count, uint64_t file_size, uint32_t block_size,
				uint64_t cache_capacity);

private:
	struct Reader {
		uint64_t next = 0;     // end of its furthest read
		uint64_t ahead = 0;    // read-ahead queued up to here
		uint64_t reach = 0;    // how far ahead of its reads the next range goes
		uint64_t last_use = 0; // clock_ at its latest read
		uint32_t run = 0;      // its reads so far
	};
	std::mutex mutex_; // held for a few comparisons, never while reading
	Reader readers_[4];
	uint64_t clock_ = 0;
};

class Readahead_pool {
public:
	static Readahead_pool &instance();

	// Queues a task for the pool's threads, started on first use. False
	// (and nothing queued) when the queue is full, the pool is stopping or
	// no thread could be started.
	bool submit(std::function<void()> task);
	// Drops queued tasks, waits for running ones and joins every thread.
	// The pool then refuses tasks until resume(): a read racing with the
	// library's shutdown must not start threads that outlive it.
	void stop();
	void resume();
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

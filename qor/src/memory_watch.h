// Keeps the caches within the memory the machine can spare: under memory
// pressure (the kernel's pressure stall information) they give most of their
// contents back and grow again only once the pressure is gone; media that
// nobody reads give back their workers and cached contents.
#ifndef QOR_MEMORY_WATCH_H
#define QOR_MEMORY_WATCH_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace qor {

// Seconds of the monotonic clock, cheap enough for every read.
uint64_t monotonic_seconds();

// A trigger on a pressure file (/proc/pressure/memory or a cgroup's
// memory.pressure) that fires when tasks stall on memory for long enough.
class Pressure_trigger {
public:
	Pressure_trigger() = default;
	~Pressure_trigger();
	Pressure_trigger(const Pressure_trigger &) = delete;
	Pressure_trigger &operator=(const Pressure_trigger &) = delete;
	// 0 or a negative errno (ENOENT, EINVAL: the kernel has no such trigger).
	int arm(const std::string &path);
	// Whether it fired since the last call; never waits.
	bool fired();

private:
	int fd_ = -1;
};

class Memory_watch {
public:
	// Shrink when tasks stalled on memory 150 ms within two seconds; grow
	// again after this long without a stall; a medium unread this long is idle.
	static constexpr uint64_t k_calm_seconds = 10;
	static constexpr uint64_t k_idle_seconds = 30;

	static Memory_watch &instance();
	// Starts the watching thread unless it runs or the watch is stopped.
	void start();
	// Ends the thread; it starts again only after resume(): nothing racing
	// with the library's shutdown may start a thread that outlives it.
	void stop();
	void resume();

	// What the thread does on a pressure event and on each of its ticks; now
	// is monotonic_seconds(), or a later time for a test.
	void pressure(uint64_t now);
	void tick(uint64_t now);
	bool yielding();

private:
	Memory_watch() = default;
	void run();

	std::mutex thread_mutex_; // guards stopped_, stopping_ and thread_
	std::condition_variable wake_;
	bool stopped_ = false;
	bool stopping_ = false;
	std::thread thread_;

	std::mutex state_mutex_;
	bool yielding_ = false;
	uint64_t last_pressure_ = 0;
	uint64_t last_trim_ = 0;
	bool trim_pending_ = false; // media released since the last trim
};

} // namespace qor

#endif

#include "memory_watch.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <system_error>
#include <time.h>
#include <unistd.h>

#include "caches.h"
#include "data_cache.h"
#include "registry.h"

namespace qor {

namespace {

// Stalls of 150 ms within a window of two seconds. Without CAP_SYS_RESOURCE
// (a confined server) the kernel takes only windows of whole 2 s.
constexpr char k_trigger[] = "some 150000 2000000";
constexpr auto k_tick = std::chrono::milliseconds(250);

std::string pressure_file()
{
	std::string dir = cgroup_v2_dir("/proc/self/cgroup", "/sys/fs/cgroup");
	if (!dir.empty() && access((dir + "/memory.pressure").c_str(), F_OK) == 0)
		return dir + "/memory.pressure";
	return "/proc/pressure/memory";
}

void yield_caches(bool short_of_memory)
{
	data_cache().yield(short_of_memory);
	listing_cache().yield(short_of_memory);
}

} // namespace

uint64_t monotonic_seconds()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
	return static_cast<uint64_t>(ts.tv_sec);
}

Pressure_trigger::~Pressure_trigger()
{
	if (fd_ >= 0)
		close(fd_);
}

int Pressure_trigger::arm(const std::string &path)
{
	int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	if (write(fd, k_trigger, sizeof(k_trigger)) < 0) {
		int err = errno;
		close(fd);
		return -err;
	}
	if (fd_ >= 0)
		close(fd_);
	fd_ = fd;
	return 0;
}

bool Pressure_trigger::fired()
{
	if (fd_ < 0)
		return false;
	pollfd p{fd_, POLLPRI, 0};
	if (poll(&p, 1, 0) <= 0)
		return false;
	if (p.revents & (POLLERR | POLLNVAL)) { // its cgroup went away
		close(fd_);
		fd_ = -1;
		return false;
	}
	return (p.revents & POLLPRI) != 0;
}

Memory_watch &Memory_watch::instance()
{
	// Never destroyed: qor_c_fini stops its thread.
	static auto *watch = new Memory_watch;
	return *watch;
}

void Memory_watch::start()
{
	std::lock_guard<std::mutex> lock(thread_mutex_);
	if (stopped_ || thread_.joinable())
		return;
	stopping_ = false;
	try {
		thread_ = std::thread([this] { run(); });
	} catch (const std::system_error &) {
		// No thread: the caches keep their bound and idle media their workers.
	}
}

void Memory_watch::stop()
{
	std::thread thread;
	{
		std::lock_guard<std::mutex> lock(thread_mutex_);
		stopped_ = stopping_ = true;
		thread.swap(thread_);
	}
	wake_.notify_all();
	if (thread.joinable())
		thread.join();
}

void Memory_watch::resume()
{
	std::lock_guard<std::mutex> lock(thread_mutex_);
	stopped_ = false;
}

void Memory_watch::run()
{
	Pressure_trigger trigger;
	(void)trigger.arm(pressure_file()); // without it, only idle media are released
	std::unique_lock<std::mutex> lock(thread_mutex_);
	while (!wake_.wait_for(lock, k_tick, [this] { return stopping_; })) {
		lock.unlock();
		uint64_t now = monotonic_seconds();
		if (trigger.fired())
			pressure(now);
		tick(now);
		lock.lock();
	}
}

void Memory_watch::pressure(uint64_t now)
{
	std::lock_guard<std::mutex> lock(state_mutex_);
	last_pressure_ = now;
	if (yielding_)
		return;
	yielding_ = true;
	yield_caches(true);
	malloc_trim(0); // the freed blocks go back to the kernel, not to the heap
}

void Memory_watch::tick(uint64_t now)
{
	bool released = Media_table::instance().release_idle(now, k_idle_seconds);
	std::lock_guard<std::mutex> lock(state_mutex_);
	if (yielding_ && now >= last_pressure_ + k_calm_seconds) {
		yielding_ = false;
		yield_caches(false);
	}
	// Trimming walks the whole heap: once in a while, not each time a few
	// media go idle.
	trim_pending_ = trim_pending_ || released;
	if (trim_pending_ && now >= last_trim_ + k_calm_seconds) {
		trim_pending_ = false;
		last_trim_ = now;
		malloc_trim(0);
	}
}

bool Memory_watch::yielding()
{
	std::lock_guard<std::mutex> lock(state_mutex_);
	return yielding_;
}

} // namespace qor

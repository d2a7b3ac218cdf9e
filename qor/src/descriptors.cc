#include "descriptors.h"

#include <algorithm>
#include <cerrno>
#include <functional>

namespace qor {

/* Never destroyed: qor_c_fini runs from the plug-in's destructor, after the
 * C++ static destructors of a dlopen()ed library have already run at exit. */
Descriptor_table &Descriptor_table::instance()
{
	static Descriptor_table *table = new Descriptor_table;
	return *table;
}

int Descriptor_table::insert(std::shared_ptr<Descriptor> d)
{
	std::unique_lock<std::shared_mutex> lock(mutex_);
	if (!free_.empty()) {
		std::pop_heap(free_.begin(), free_.end(), std::greater<int>());
		int fd = free_.back();
		free_.pop_back();
		slots_[fd] = std::move(d);
		return fd;
	}
	if (slots_.size() >= k_max)
		return -EMFILE;
	slots_.push_back(std::move(d));
	return static_cast<int>(slots_.size() - 1);
}

std::shared_ptr<Descriptor> Descriptor_table::find(int fd) const
{
	std::shared_lock<std::shared_mutex> lock(mutex_);
	if (fd < 0 || static_cast<size_t>(fd) >= slots_.size())
		return nullptr;
	return slots_[fd];
}

std::shared_ptr<Descriptor> Descriptor_table::remove(int fd)
{
	std::unique_lock<std::shared_mutex> lock(mutex_);
	if (fd < 0 || static_cast<size_t>(fd) >= slots_.size() || !slots_[fd])
		return nullptr;
	auto d = std::move(slots_[fd]);
	slots_[fd].reset();
	free_.push_back(fd);
	std::push_heap(free_.begin(), free_.end(), std::greater<int>());
	return d;
}

void Descriptor_table::clear()
{
	std::vector<std::shared_ptr<Descriptor>> old;
	{
		std::unique_lock<std::shared_mutex> lock(mutex_);
		old.swap(slots_);
		free_.clear();
	}
}

} // namespace qor

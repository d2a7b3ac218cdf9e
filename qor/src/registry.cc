#include "registry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

#include "caches.h"
#include "listing.h"
#include "memory_watch.h"

namespace qor {

namespace {

constexpr uint32_t k_id_mask = 0x7fffffff;

int32_t preferred_id(const Medium &m)
{
	Hasher h;
	h.add(m.path().data(), m.path().size());
	h.add_u64(m.content_hash());
	return static_cast<int32_t>(h.value() & k_id_mask);
}

} // namespace

int media_image_path(const char *dir, const char *minor_resource_id, uint32_t seq, std::string &out)
{
	if (!dir || !minor_resource_id)
		return -EFAULT;
	if (*dir == '\0')
		return -ENOENT;
	std::string_view minor(minor_resource_id);
	if (minor.size() > QOR_NAME_MAX)
		return -ENAMETOOLONG;
	if (!is_plain_name(minor))
		return -EINVAL;
	struct stat st;
	if (stat(dir, &st) != 0)
		return -errno;
	if (!S_ISDIR(st.st_mode))
		return -ENOTDIR;
	std::string path = std::string(dir) + "/" + std::string(minor) + "/" + std::to_string(seq) + ".sqfs";
	if (path.size() >= PATH_MAX)
		return -ENAMETOOLONG;
	char real[PATH_MAX];
	if (!realpath(path.c_str(), real))
		return errno == ENOENT || errno == ENOTDIR ? -ENOMEDIUM : -errno;
	out = real;
	return 0;
}

/* Never destroyed: qor_c_fini runs from the plug-in's destructor, after the
 * C++ static destructors of a dlopen()ed library have already run at exit. */
Media_table &Media_table::instance()
{
	static Media_table *table = new Media_table;
	return *table;
}

int Media_table::open(const char *dir, const char *minor_resource_id, uint32_t seq)
{
	std::string path;
	int rc = media_image_path(dir, minor_resource_id, seq, path);
	if (rc < 0)
		return rc;
	std::unique_ptr<Medium> opened;
	if ((rc = Medium::open(path, opened)) < 0)
		return rc;

	std::unique_lock<std::shared_mutex> lock(mutex_);
	for (auto &[id, entry] : media_) {
		if (entry.medium->path() == opened->path() && entry.medium->content_hash() == opened->content_hash()) {
			++entry.refs;
			return id;
		}
	}
	// A clash with another open medium moves on to the next free id; the
	// same media opened in the same order always get the same ids.
	int32_t id = preferred_id(*opened);
	while (media_.count(id) != 0)
		id = static_cast<int32_t>((static_cast<uint32_t>(id) + 1) & k_id_mask);
	opened->set_id(id);
	Memory_watch::instance().start(); // started by the first medium, not at load time
	media_.emplace(id, Entry{std::shared_ptr<Medium>(std::move(opened)), 1});
	return id;
}

int Media_table::close(int32_t media_id)
{
	std::shared_ptr<Medium> last; // destroyed outside the lock
	std::unique_lock<std::shared_mutex> lock(mutex_);
	auto it = media_.find(media_id);
	if (it == media_.end())
		return -EBADF;
	if (--it->second.refs == 0) {
		last = std::move(it->second.medium);
		media_.erase(it);
	}
	return 0;
}

std::shared_ptr<const Medium> Media_table::find(int32_t media_id) const
{
	std::shared_lock<std::shared_mutex> lock(mutex_);
	auto it = media_.find(media_id);
	return it == media_.end() ? nullptr : it->second.medium;
}

bool Media_table::release_idle(uint64_t now, uint64_t idle_seconds)
{
	std::vector<std::shared_ptr<const Medium>> media;
	{
		std::shared_lock<std::shared_mutex> lock(mutex_);
		for (const auto &entry : media_)
			media.push_back(entry.second.medium);
	}
	std::vector<uint64_t> idle;
	for (const auto &m : media)
		if (m->release_if_idle(now, idle_seconds))
			idle.push_back(m->serial());
	if (idle.empty())
		return false;
	std::sort(idle.begin(), idle.end());
	data_cache().forget(idle);
	listing_cache().forget(idle);
	return true;
}

void Media_table::clear()
{
	std::unordered_map<int32_t, Entry> old;
	std::unique_lock<std::shared_mutex> lock(mutex_);
	old.swap(media_);
	lock.unlock();
}

} // namespace qor

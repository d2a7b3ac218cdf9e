// The C interface. Every call returns a negative value with errno set on
// failure; no exception leaves it: memory exhaustion fails the call with
// ENOMEM, anything else thrown with EIO.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "data_cache.h"
#include "descriptors.h"
#include "memory_watch.h"
#include "readahead.h"
#include "registry.h"

using namespace qor;

namespace {

int fail(int negative_errno)
{
	errno = -negative_errno;
	return -1;
}

int result(int rc) { return rc < 0 ? fail(rc) : rc; }

// The failure of a call that threw; only called from a handler.
int caught() noexcept
{
	try {
		throw;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	return -1;
}

int check_entry_name(const char *name)
{
	std::string_view n(name, strnlen(name, QOR_NAME_MAX + 1));
	if (n == "." || n == "..")
		return -ENOENT;
	if (n.find('/') != std::string_view::npos)
		return -EINVAL;
	if (n.size() > QOR_NAME_MAX)
		return -ENAMETOOLONG;
	return 0;
}

int find_descriptor(int fd, std::shared_ptr<Descriptor> &out)
{
	out = Descriptor_table::instance().find(fd);
	return out ? 0 : -EBADF;
}

int find_directory(int dirfd, std::shared_ptr<Descriptor> &out)
{
	int rc = find_descriptor(dirfd, out);
	if (rc == 0 && !out->is_dir())
		rc = -ENOTDIR;
	return rc;
}

// The directory that lists d: the parent number in d's inode, believed only
// if that directory lists d (a damaged number names no parent).
int parent_of(const Descriptor &d, uint32_t &ino, qor_stat_t &st)
{
	const Medium &m = *d.medium;
	uint32_t root;
	qor_stat_t root_st;
	int rc = m.resolve("/", root, root_st);
	if (rc < 0)
		return rc;
	if (d.ino == root)
		return -ENOENT;
	Worker_lease lease(m);
	Worker *w = nullptr;
	Inode_ptr self, parent;
	if ((rc = lease.get(w)) < 0 || (rc = m.read_inode(*w, d.ino, self)) < 0)
		return rc;
	uint32_t up = dir_parent(*self);
	if (up < 1 || up > m.total_files() || (rc = m.read_inode(*w, up, parent)) < 0)
		return -EIO;
	std::shared_ptr<const Listing> l;
	if (m.listing(*w, *parent, l) < 0)
		return -EIO;
	for (size_t i = 0; i < l->size(); ++i) {
		if (l->at(i).ino == d.ino && S_ISDIR(l->at(i).mode)) {
			ino = up;
			st = l->self();
			return 0;
		}
	}
	return -EIO;
}

// The status and inode number of an entry, of the directory itself for "",
// or of its parent for "..".
int entry_at(int dirfd, const char *name, uint32_t &ino, qor_stat_t &st, std::shared_ptr<Descriptor> &dir)
{
	if (!name)
		return -EFAULT;
	int rc = find_directory(dirfd, dir);
	if (rc < 0)
		return rc;
	if (*name == '\0') {
		ino = dir->ino;
		st = dir->st;
		return 0;
	}
	if (std::strcmp(name, "..") == 0)
		return parent_of(*dir, ino, st);
	if ((rc = check_entry_name(name)) < 0)
		return rc;
	const Listing_entry *e = dir->listing->find(name);
	if (!e)
		return -ENOENT;
	ino = e->ino;
	st = entry_stat(*e);
	return 0;
}

// Opens the object a handle names; want_dir selects which kind is accepted.
int open_handle(const qor_file_handle *fh, bool want_dir)
{
	if (!fh)
		return -EFAULT;
	std::shared_ptr<const Medium> m = Media_table::instance().find(fh->media_id);
	if (!m)
		return -ESTALE;
	if (want_dir) {
		if (std::shared_ptr<const Listing> l = m->cached_directory(*fh)) {
			auto d = std::make_shared<Descriptor>();
			d->medium = m;
			d->ino = static_cast<uint32_t>(fh->id);
			d->st = l->self();
			d->listing = std::move(l);
			return Descriptor_table::instance().insert(std::move(d));
		}
	}
	Worker_lease lease(*m);
	Worker *worker = nullptr;
	Inode_ptr inode;
	int rc = lease.get(worker);
	if (rc < 0 || (rc = m->inode_for_handle(*worker, *fh, inode)) < 0)
		return rc;
	auto d = std::make_shared<Descriptor>();
	d->medium = m;
	d->ino = inode->base.inode_number;
	d->st = inode_stat(*inode);
	if (want_dir != d->is_dir())
		return want_dir ? -ENOTDIR : -EISDIR;
	if (d->is_dir())
		rc = m->listing(*worker, *inode, d->listing);
	else if (S_ISREG(d->st.mode))
		rc = d->data.init(*m, *inode);
	else if (S_ISLNK(d->st.mode))
		d->link_target.assign(reinterpret_cast<const char *>(inode->extra), static_cast<size_t>(d->st.size));
	if (rc < 0)
		return rc;
	return Descriptor_table::instance().insert(std::move(d));
}

// Queues the blocks ahead of a sequential reader, one task per run of blocks
// that one request reads, so that the pool's threads read and decompress
// them side by side while this read runs.
void start_readahead(const std::shared_ptr<Descriptor> &d, uint64_t offset, uint64_t count)
{
	const File_data &f = d->data;
	Readahead_range r = d->stream.observe(offset, count, f.size(), f.block_size(), data_cache().bound());
	if (r.empty())
		return;
	uint64_t end = (r.end - 1) / f.block_size() + 1;
	for (uint64_t b = r.begin / f.block_size(), e; b < end; b = e) {
		e = std::min(f.ahead_run_end(b), end);
		if (!Readahead_pool::instance().submit([d, b, e] { d->data.prefetch(*d->medium, b, e); }))
			break;
	}
}

} // namespace

extern "C" {

int qor_c_init(void)
try {
	Media_table::instance();
	Descriptor_table::instance();
	Readahead_pool::instance().resume();
	Memory_watch::instance().resume();
	return 0;
} catch (...) {
	return caught();
}

int qor_c_fini(void)
try {
	// The read-ahead threads hold descriptors and media: they go first.
	Readahead_pool::instance().stop();
	Memory_watch::instance().stop();
	Descriptor_table::instance().clear();
	Media_table::instance().clear();
	data_cache().clear();
	listing_cache().clear();
	return 0;
} catch (...) {
	return caught();
}

int qor_set_data_cache_size(uint64_t bytes)
try {
	data_cache().set_capacity(bytes == QOR_DATA_CACHE_DEFAULT ? default_data_cache_size()
								 : std::min(bytes, memory_limit()));
	return 0;
} catch (...) {
	return caught();
}

uint64_t qor_data_cache_size(void) { return data_cache().capacity(); }

int qor_open_media(const char *dir, const char *minor_resource_id, uint32_t seq)
try {
	return result(Media_table::instance().open(dir, minor_resource_id, seq));
} catch (...) {
	return caught();
}

int qor_media_stat(int media_id, uint64_t *total_bytes, uint64_t *total_files)
try {
	if (!total_bytes || !total_files)
		return fail(-EFAULT);
	std::shared_ptr<const Medium> m = Media_table::instance().find(media_id);
	if (!m)
		return fail(-EBADF);
	*total_bytes = m->total_bytes();
	*total_files = m->total_files();
	return 0;
} catch (...) {
	return caught();
}

int qor_close_media(int media_id)
try {
	return result(Media_table::instance().close(media_id));
} catch (...) {
	return caught();
}

static int resolve(int media_id, const char *path, uint32_t &ino, qor_stat_t &st, int32_t &id)
{
	if (!path)
		return -EFAULT;
	std::shared_ptr<const Medium> m = Media_table::instance().find(media_id);
	if (!m)
		return -EBADF;
	id = m->id();
	return m->resolve(path, ino, st);
}

int qor_name_to_handle(int media_id, const char *path, qor_file_handle *fh)
try {
	uint32_t ino;
	qor_stat_t st;
	int32_t id;
	if (!fh)
		return fail(-EFAULT);
	int rc = resolve(media_id, path, ino, st, id);
	if (rc < 0)
		return fail(rc);
	*fh = qor_file_handle{id, static_cast<int32_t>(ino), st.mode};
	return 0;
} catch (...) {
	return caught();
}

int qor_stat(int media_id, const char *path, qor_stat_t *st)
try {
	uint32_t ino;
	int32_t id;
	if (!st)
		return fail(-EFAULT);
	return result(resolve(media_id, path, ino, *st, id));
} catch (...) {
	return caught();
}

int qor_open_by_handle(const qor_file_handle *fh)
try {
	return result(open_handle(fh, false));
} catch (...) {
	return caught();
}

int qor_open_dir_by_handle(const qor_file_handle *fh)
try {
	return result(open_handle(fh, true));
} catch (...) {
	return caught();
}

int qor_fstat(int fd, qor_stat_t *st)
try {
	std::shared_ptr<Descriptor> d;
	if (!st)
		return fail(-EFAULT);
	int rc = find_descriptor(fd, d);
	if (rc < 0)
		return fail(rc);
	*st = d->st;
	return 0;
} catch (...) {
	return caught();
}

int qor_fstat_at(int dirfd, const char *name, qor_stat_t *st)
try {
	std::shared_ptr<Descriptor> dir;
	uint32_t ino;
	if (!st)
		return fail(-EFAULT);
	return result(entry_at(dirfd, name, ino, *st, dir));
} catch (...) {
	return caught();
}

int qor_name_to_handle_at(int dirfd, const char *name, qor_file_handle *fh)
try {
	std::shared_ptr<Descriptor> dir;
	uint32_t ino;
	qor_stat_t st;
	if (!fh)
		return fail(-EFAULT);
	int rc = entry_at(dirfd, name, ino, st, dir);
	if (rc < 0)
		return fail(rc);
	*fh = qor_file_handle{dir->medium->id(), static_cast<int32_t>(ino), st.mode};
	return 0;
} catch (...) {
	return caught();
}

int qor_read_dir(int dirfd, qor_dirent *ent)
try {
	std::shared_ptr<Descriptor> dir;
	if (!ent)
		return fail(-EFAULT);
	if (ent->reclen < static_cast<int>(sizeof(qor_dirent)))
		return fail(-EINVAL);
	int rc = find_directory(dirfd, dir);
	if (rc < 0)
		return fail(rc);
	std::lock_guard<std::mutex> lock(dir->position_mutex);
	if (dir->position >= dir->listing->size())
		return 0;
	const Listing_entry &e = dir->listing->at(dir->position);
	std::string_view name = dir->listing->name(e);
	ent->stat = entry_stat(e);
	ent->cookie = dir->position + k_first_cookie;
	std::memcpy(ent->name, name.data(), name.size()); // at most QOR_NAME_MAX
	ent->name[name.size()] = '\0';
	++dir->position;
	return 1;
} catch (...) {
	return caught();
}

int qor_seek_dir(int dirfd, uint64_t cookie)
try {
	std::shared_ptr<Descriptor> dir;
	int rc = find_directory(dirfd, dir);
	if (rc < 0)
		return fail(rc);
	std::lock_guard<std::mutex> lock(dir->position_mutex);
	uint64_t next = cookie < k_first_cookie ? 0 : cookie - k_first_cookie + 1;
	dir->position = static_cast<size_t>(std::min<uint64_t>(next, dir->listing->size()));
	return 0;
} catch (...) {
	return caught();
}

int qor_close_dir(int dirfd)
try {
	std::shared_ptr<Descriptor> dir;
	int rc = find_directory(dirfd, dir);
	if (rc < 0)
		return fail(rc);
	return Descriptor_table::instance().remove(dirfd) ? 0 : fail(-EBADF);
} catch (...) {
	return caught();
}

int qor_readlink(int fd, char *buf, size_t size)
try {
	std::shared_ptr<Descriptor> d;
	int rc = find_descriptor(fd, d);
	if (rc < 0)
		return fail(rc);
	if (!S_ISLNK(d->st.mode))
		return fail(-EINVAL);
	if (!buf)
		return fail(-EFAULT);
	size_t n = std::min({d->link_target.size(), size, size_t(INT_MAX)});
	std::memcpy(buf, d->link_target.data(), n);
	return static_cast<int>(n);
} catch (...) {
	return caught();
}

int64_t qor_pread(int fd, void *buf, size_t count, int64_t offset)
try {
	std::shared_ptr<Descriptor> d;
	int rc = find_descriptor(fd, d);
	if (rc < 0)
		return fail(rc);
	if (d->is_dir())
		return fail(-EISDIR);
	if (!S_ISREG(d->st.mode) || offset < 0)
		return fail(-EINVAL);
	if (!buf && count > 0)
		return fail(-EFAULT);
	start_readahead(d, static_cast<uint64_t>(offset), count);
	int64_t n = d->data.pread(*d->medium, buf, count, static_cast<uint64_t>(offset));
	return n < 0 ? fail(static_cast<int>(n)) : n;
} catch (...) {
	return caught();
}

int qor_close(int fd)
try {
	return Descriptor_table::instance().remove(fd) ? 0 : fail(-EBADF);
} catch (...) {
	return caught();
}

} // extern "C"

#include "medium.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <endian.h>
#include <sys/stat.h>

#include <sqfs/block.h>
#include <sqfs/dir.h>
#include <sqfs/error.h>
#include <sqfs/table.h>

#include "caches.h"

namespace qor {

namespace {

constexpr uint64_t k_no_table = ~uint64_t(0);
std::atomic<uint64_t> next_serial{1};
constexpr size_t k_pool_max = 64;
// Far more than any real directory; a damaged directory table can claim more
// entries than memory holds.
constexpr size_t k_max_directory_entries = 1u << 24;

uint64_t ref_block(uint64_t ref) { return ref >> 16; }
size_t ref_offset(uint64_t ref) { return ref & 0xffff; }

} // namespace

mode_t inode_type_bits(const sqfs_inode_generic_t &inode) { return inode_type_bits(inode.base.type); }

mode_t inode_type_bits(uint16_t type)
{
	switch (type) {
	case SQFS_INODE_DIR:
	case SQFS_INODE_EXT_DIR:
		return S_IFDIR;
	case SQFS_INODE_FILE:
	case SQFS_INODE_EXT_FILE:
		return S_IFREG;
	case SQFS_INODE_SLINK:
	case SQFS_INODE_EXT_SLINK:
		return S_IFLNK;
	case SQFS_INODE_BDEV:
	case SQFS_INODE_EXT_BDEV:
		return S_IFBLK;
	case SQFS_INODE_CDEV:
	case SQFS_INODE_EXT_CDEV:
		return S_IFCHR;
	case SQFS_INODE_FIFO:
	case SQFS_INODE_EXT_FIFO:
		return S_IFIFO;
	case SQFS_INODE_SOCKET:
	case SQFS_INODE_EXT_SOCKET:
		return S_IFSOCK;
	default:
		return 0;
	}
}

qor_stat_t inode_stat(const sqfs_inode_generic_t &inode)
{
	qor_stat_t st{};
	st.mode = inode_type_bits(inode) | (inode.base.mode & 07777);
	uint64_t size = 0;
	switch (inode.base.type) {
	case SQFS_INODE_FILE:
	case SQFS_INODE_EXT_FILE:
		sqfs_inode_get_file_size(&inode, &size);
		break;
	case SQFS_INODE_DIR:
		size = inode.data.dir.size;
		break;
	case SQFS_INODE_EXT_DIR:
		size = inode.data.dir_ext.size;
		break;
	case SQFS_INODE_SLINK:
		size = inode.data.slink.target_size;
		break;
	case SQFS_INODE_EXT_SLINK:
		size = inode.data.slink_ext.target_size;
		break;
	default:
		break;
	}
	st.size = static_cast<off_t>(std::min<uint64_t>(size, INT64_MAX));
	st.mtime = st.atime = st.ctime = static_cast<time_t>(inode.base.mod_time);
	return st;
}

Medium::Medium() : serial_(next_serial++) {}

// Nothing can ask for this medium's blocks and listings any more: free them
// now rather than when they age out. A medium that was never used (one opened
// again by a reload, say) has none, and the caches need not be searched.
Medium::~Medium()
{
	if (last_use_.load(std::memory_order_relaxed) == k_never_used)
		return;
	data_cache().forget({serial_});
	listing_cache().forget({serial_});
}

Worker_lease::Worker_lease(const Medium &m) : medium_(m) { m.touch(); }

Worker_lease::~Worker_lease()
{
	if (worker_)
		medium_.give_back(std::move(worker_));
}

int Worker_lease::get(Worker *&out)
{
	int rc = worker_ ? 0 : medium_.lease(worker_);
	out = worker_.get();
	return rc;
}

int Medium::open(const std::string &image_path, std::unique_ptr<Medium> &out)
{
	std::unique_ptr<Medium> m(new Medium);
	m->path_ = image_path;
	int rc = m->image_.open(image_path);
	if (rc < 0)
		return rc;
	if (m->image_.size() < sizeof(sqfs_super_t))
		return -EMEDIUMTYPE;
	rc = sqfs_super_read(&m->super_, m->image_.sqfs());
	if (rc != 0)
		return sqfs_to_errno(rc);
	if ((rc = m->check_super()) < 0 || (rc = m->measure_inode_table()) < 0 || (rc = m->count_xattr_ids()) < 0)
		return rc;
	if (sqfs_compressor_config_init(&m->compressor_config_, static_cast<SQFS_COMPRESSOR>(m->super_.compression_id),
					m->super_.block_size, SQFS_COMP_FLAG_UNCOMPRESS) != 0)
		return -EOPNOTSUPP;

	std::unique_ptr<Worker> w;
	if ((rc = m->new_worker(w)) < 0)
		return rc;
	if ((rc = m->load_fragments(*w)) < 0 || (rc = m->load_inode_map(*w)) < 0)
		return rc;
	Inode_ptr root;
	if ((rc = m->read_inode_at(*w, m->super_.root_inode_ref, root)) < 0)
		return rc;
	if (inode_type_bits(*root) != S_IFDIR)
		return -EIO;
	m->root_ino_ = root->base.inode_number;
	m->root_stat_ = inode_stat(*root);
	if ((rc = m->hash_content()) < 0)
		return rc;
	m->give_back(std::move(w));
	out = std::move(m);
	return 0;
}

int Medium::check_super() const
{
	const sqfs_super_t &s = super_;
	if (s.compression_id < SQFS_COMP_MIN || s.compression_id > SQFS_COMP_MAX)
		return -EOPNOTSUPP;
	if (s.bytes_used > image_.size() || s.inode_count == 0)
		return -EIO;
	if (!(s.inode_table_start < s.directory_table_start && s.directory_table_start < s.bytes_used))
		return -EIO;
	uint64_t inode_table_bytes = s.directory_table_start - s.inode_table_start;
	if (ref_block(s.root_inode_ref) >= inode_table_bytes)
		return -EIO;
	return 0;
}

int Medium::new_worker(std::unique_ptr<Worker> &out) const
{
	auto w = std::make_unique<Worker>();
	sqfs_compressor_t *cmp = nullptr;
	if (sqfs_compressor_create(&compressor_config_, &cmp) != 0)
		return -EOPNOTSUPP;
	w->compressor.reset(cmp);
	if (super_.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) {
		int rc = cmp->read_options(cmp, const_cast<Image_file &>(image_).sqfs());
		if (rc != 0)
			return sqfs_to_errno(rc);
	}
	sqfs_file_t *file = const_cast<Image_file &>(image_).sqfs();
	uint64_t dir_end = super_.bytes_used;
	for (uint64_t start : {super_.fragment_table_start, super_.export_table_start, super_.id_table_start,
			       super_.xattr_id_table_start})
		if (start > super_.directory_table_start && start < dir_end)
			dir_end = start;
	w->inodes.reset(sqfs_meta_reader_create(file, cmp, super_.inode_table_start, super_.directory_table_start));
	w->dirs.reset(sqfs_meta_reader_create(file, cmp, super_.directory_table_start, dir_end));
	if (!w->inodes || !w->dirs)
		return -ENOMEM;
	out = std::move(w);
	return 0;
}

int Medium::lease(std::unique_ptr<Worker> &out) const
{
	{
		std::lock_guard<std::mutex> lock(pool_mutex_);
		if (!pool_.empty()) {
			out = std::move(pool_.back());
			pool_.pop_back();
			return 0;
		}
	}
	return new_worker(out);
}

void Medium::give_back(std::unique_ptr<Worker> w) const
{
	std::lock_guard<std::mutex> lock(pool_mutex_);
	if (pool_.size() < k_pool_max)
		pool_.push_back(std::move(w));
}

size_t Medium::pooled_workers() const
{
	std::lock_guard<std::mutex> lock(pool_mutex_);
	return pool_.size();
}

bool Medium::release_if_idle(uint64_t now, uint64_t idle_seconds) const
{
	uint64_t last = last_use_.load(std::memory_order_relaxed);
	if (now < last + idle_seconds || released_at_use_.exchange(last) == last)
		return false;
	std::vector<std::unique_ptr<Worker>> idle; // freed outside the lock
	std::lock_guard<std::mutex> lock(pool_mutex_);
	idle.swap(pool_);
	return true;
}

// Reads a table whose index of metadata-block positions starts at `location`;
// the blocks themselves lie between the directory table and that index.
static int read_table(const sqfs_super_t &s, sqfs_file_t *file, Worker &w, uint64_t entries, size_t entry_size,
		      uint64_t location, std::vector<uint8_t> &out)
{
	uint64_t bytes = entries * entry_size;
	uint64_t index_bytes = (bytes + SQFS_META_BLOCK_SIZE - 1) / SQFS_META_BLOCK_SIZE * sizeof(uint64_t);
	if (location >= s.bytes_used || index_bytes > s.bytes_used - location)
		return -EIO;
	void *raw = nullptr;
	int rc = sqfs_read_table(file, w.compressor.get(), bytes, location, s.directory_table_start, location, &raw);
	if (rc != 0)
		return sqfs_to_errno(rc);
	std::unique_ptr<void, Sqfs_free> owned(raw);
	const auto *p = static_cast<const uint8_t *>(raw);
	out.assign(p, p + bytes);
	return 0;
}

int Medium::load_fragments(Worker &w)
{
	if (super_.fragment_entry_count == 0 || super_.fragment_table_start == k_no_table ||
	    (super_.flags & SQFS_FLAG_NO_FRAGMENTS))
		return 0;
	// Each fragment block takes at least a byte of the image before the inode table.
	if (super_.fragment_entry_count > super_.inode_table_start)
		return -EIO;
	std::vector<uint8_t> raw;
	int rc = read_table(super_, image_.sqfs(), w, super_.fragment_entry_count, sizeof(sqfs_fragment_t),
			    super_.fragment_table_start, raw);
	if (rc < 0)
		return rc;
	fragments_.resize(super_.fragment_entry_count);
	for (size_t i = 0; i < fragments_.size(); ++i) {
		sqfs_fragment_t f;
		std::memcpy(&f, raw.data() + i * sizeof(f), sizeof(f));
		fragments_[i].start_offset = le64toh(f.start_offset);
		fragments_[i].size = le32toh(f.size);
	}
	return 0;
}

int Medium::load_inode_map(Worker &w)
{
	if ((super_.flags & SQFS_FLAG_EXPORTABLE) && super_.export_table_start != k_no_table) {
		std::vector<uint8_t> raw;
		if (read_table(super_, image_.sqfs(), w, super_.inode_count, sizeof(uint64_t),
			       super_.export_table_start, raw) == 0) {
			uint64_t inode_table_bytes = super_.directory_table_start - super_.inode_table_start;
			inode_refs_.resize(super_.inode_count);
			for (size_t i = 0; i < inode_refs_.size(); ++i) {
				uint64_t ref;
				std::memcpy(&ref, raw.data() + i * sizeof(ref), sizeof(ref));
				ref = le64toh(ref);
				bool sane = ref_block(ref) < inode_table_bytes && ref_offset(ref) < SQFS_META_BLOCK_SIZE;
				inode_refs_[i] = sane ? ref : k_no_ref;
			}
			return 0;
		}
	}
	// No (usable) export table: one pass over the inode table gives the map.
	return scan_inode_table(w);
}

int Medium::scan_inode_table(Worker &w)
{
	inode_refs_.assign(super_.inode_count, k_no_ref);
	uint64_t block = super_.inode_table_start;
	size_t offset = 0;
	for (uint32_t i = 0; i < super_.inode_count; ++i) {
		if (offset >= SQFS_META_BLOCK_SIZE) {
			// The previous inode ended exactly at the end of a block.
			uint8_t header[2];
			int rc = image_.read_exact(block, header, sizeof(header));
			if (rc < 0)
				return rc;
			block += 2 + ((header[0] | header[1] << 8) & 0x7fff);
			offset -= SQFS_META_BLOCK_SIZE;
		}
		if (block >= super_.directory_table_start)
			return -EIO;
		uint64_t ref = (block - super_.inode_table_start) << 16 | offset;
		Inode_ptr inode;
		int rc = read_inode_at(w, ref, inode);
		if (rc < 0)
			return rc;
		uint32_t number = inode->base.inode_number;
		if (number >= 1 && number <= super_.inode_count)
			inode_refs_[number - 1] = ref;
		sqfs_meta_reader_get_position(w.inodes.get(), &block, &offset);
	}
	return 0;
}

int Medium::hash_content()
{
	Hasher h;
	uint8_t raw_super[sizeof(sqfs_super_t)];
	int rc = image_.read_exact(0, raw_super, sizeof(raw_super));
	if (rc < 0)
		return rc;
	h.add(raw_super, sizeof(raw_super));
	// All metadata: the same metadata means the same objects under the same
	// inode numbers, so handles stay valid exactly as long as that holds.
	std::vector<uint8_t> buf(std::min<uint64_t>(1u << 20, super_.bytes_used - super_.inode_table_start));
	for (uint64_t pos = super_.inode_table_start; pos < super_.bytes_used;) {
		size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), super_.bytes_used - pos));
		if ((rc = image_.read_exact(pos, buf.data(), n)) < 0)
			return rc;
		h.add(buf.data(), n);
		pos += n;
	}
	content_hash_ = h.value();
	return 0;
}

int Medium::read_inode_at(Worker &w, uint64_t ref, Inode_ptr &out) const
{
	if (ref == k_no_ref || ref_block(ref) >= super_.directory_table_start - super_.inode_table_start ||
	    ref_offset(ref) >= SQFS_META_BLOCK_SIZE)
		return -EIO;
	return decode_inode(w, ref, out);
}

int Medium::entry_type(Worker &w, uint64_t ref, uint32_t ino, mode_t &type) const
{
	if (ref_block(ref) >= super_.directory_table_start - super_.inode_table_start ||
	    ref_offset(ref) >= SQFS_META_BLOCK_SIZE)
		return -EIO;
	sqfs_inode_t base;
	int rc = decode_base(w, ref, base);
	if (rc < 0)
		return rc;
	type = inode_type_bits(base.type);
	return base.inode_number == ino ? 0 : -EIO;
}

int Medium::read_inode(Worker &w, uint32_t ino, Inode_ptr &out) const
{
	if (ino < 1 || ino > inode_refs_.size() || inode_refs_[ino - 1] == k_no_ref)
		return -EIO;
	int rc = read_inode_at(w, inode_refs_[ino - 1], out);
	if (rc < 0)
		return rc;
	return out->base.inode_number == ino ? 0 : -EIO;
}

int Medium::inode_for_handle(Worker &w, const qor_file_handle &fh, Inode_ptr &out) const
{
	if (fh.media_id != id_ || fh.id < 1 || static_cast<uint64_t>(fh.id) > inode_refs_.size() ||
	    inode_refs_[fh.id - 1] == k_no_ref)
		return -ESTALE;
	Inode_ptr inode;
	int rc = read_inode_at(w, inode_refs_[fh.id - 1], inode);
	if (rc < 0)
		return rc;
	if (inode->base.inode_number != static_cast<uint32_t>(fh.id) || inode_stat(*inode).mode != fh.mode)
		return -ESTALE;
	out = std::move(inode);
	return 0;
}

std::shared_ptr<const Listing> Medium::cached_directory(const qor_file_handle &fh) const
{
	if (fh.media_id != id_ || (fh.mode & S_IFMT) != S_IFDIR || fh.id < 1)
		return nullptr;
	std::shared_ptr<const Listing> l = cached_listing(static_cast<uint32_t>(fh.id));
	return l && l->self().mode == fh.mode ? l : nullptr;
}

int Medium::fragment(uint32_t index, uint64_t &start, uint32_t &size_word) const
{
	if (index >= fragments_.size())
		return -EIO;
	start = fragments_[index].start_offset;
	size_word = fragments_[index].size;
	return 0;
}

std::shared_ptr<const Listing> Medium::cached_listing(uint32_t ino) const
{
	return listing_cache().find(Cache_key{serial_, ino});
}

int Medium::listing(Worker &w, const sqfs_inode_generic_t &dir, std::shared_ptr<const Listing> &out) const
{
	if (inode_type_bits(dir) != S_IFDIR)
		return -ENOTDIR;
	if ((out = cached_listing(dir.base.inode_number)))
		return 0;
	int rc = build_listing(w, dir, out);
	if (rc == 0)
		listing_cache().insert(Cache_key{serial_, dir.base.inode_number}, out);
	return rc;
}

int Medium::build_listing(Worker &w, const sqfs_inode_generic_t &dir, std::shared_ptr<const Listing> &out) const
{
	auto l = std::make_shared<Listing>();
	int rc = each_dir_entry(w, super_, dir, [&](const sqfs_dir_entry_t &ent, sqfs_u32 ino, sqfs_u64 ref) {
		if (l->size() >= k_max_directory_entries)
			return -EIO;
		Inode_ptr inode;
		int err = read_inode_at(w, ref, inode);
		if (err < 0)
			return err;
		if (inode->base.inode_number != ino)
			return -EIO;
		std::string_view name(reinterpret_cast<const char *>(ent.name), size_t(ent.size) + 1);
		l->add(name, ino, inode_stat(*inode));
		return 0;
	});
	if (rc < 0)
		return rc;
	l->finish();
	l->set_self(inode_stat(dir));
	out = std::move(l);
	return 0;
}

int Medium::resolve(const char *path, uint32_t &ino, qor_stat_t &st) const
{
	size_t len = strnlen(path, QOR_PATH_MAX);
	if (len >= QOR_PATH_MAX)
		return -ENAMETOOLONG;
	std::string_view rest(path, len);
	Worker_lease lease(*this);
	Worker *w = nullptr;
	int rc = 0;
	uint32_t cur = root_ino_;
	qor_stat_t cur_st = root_stat_;
	for (;;) {
		size_t skip = rest.find_first_not_of('/');
		if (skip == std::string_view::npos)
			break;
		rest.remove_prefix(skip);
		std::string_view name = rest.substr(0, rest.find('/'));
		rest.remove_prefix(name.size());
		if (name == "." || name == "..")
			return -ENOENT;
		if (name.size() > QOR_NAME_MAX)
			return -ENAMETOOLONG;
		if (!S_ISDIR(cur_st.mode))
			return -ENOTDIR;
		std::shared_ptr<const Listing> l;
		if (!(l = cached_listing(cur))) {
			Inode_ptr dir;
			if ((rc = lease.get(w)) < 0 || (rc = read_inode(*w, cur, dir)) < 0 ||
			    (rc = listing(*w, *dir, l)) < 0)
				return rc;
		}
		const Listing_entry *e = l->find(name);
		if (!e)
			return -ENOENT;
		cur = e->ino;
		cur_st = entry_stat(*e);
	}
	if (len > 0 && path[len - 1] == '/' && !S_ISDIR(cur_st.mode))
		return -ENOTDIR;
	ino = cur;
	st = cur_st;
	return 0;
}

} // namespace qor

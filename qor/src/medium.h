// One opened medium: the image, its superblock and tables, immutable after
// open and read without locks, plus its pool of per-thread readers.
#ifndef QOR_MEDIUM_H
#define QOR_MEDIUM_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <sqfs/compressor.h>
#include <sqfs/dir.h>
#include <sqfs/inode.h>
#include <sqfs/meta_reader.h>
#include <sqfs/super.h>
#include <sqfs/block.h>
#include <sys/stat.h>

#include "caches.h"
#include "image.h"
#include "listing.h"
#include "memory_watch.h"
#include "qor.h"

namespace qor {

struct Sqfs_free {
	void operator()(void *p) const { sqfs_free(p); }
};
struct Sqfs_destroy {
	void operator()(void *p) const { sqfs_destroy(p); }
};
using Inode_ptr = std::unique_ptr<sqfs_inode_generic_t, Sqfs_free>;

// File-type bits of an inode or of an inode type, as in st_mode.
mode_t inode_type_bits(const sqfs_inode_generic_t &inode);
mode_t inode_type_bits(uint16_t type);
// The number a directory's inode gives its parent directory.
inline uint32_t dir_parent(const sqfs_inode_generic_t &dir)
{
	return dir.base.type == SQFS_INODE_EXT_DIR ? dir.data.dir_ext.parent_inode : dir.data.dir.parent_inode;
}
qor_stat_t inode_stat(const sqfs_inode_generic_t &inode);

// What one thread needs to decode metadata and data blocks. gzip keeps
// stream state in its compressor and meta readers cache a block, so none of
// this is shared between threads.
struct Worker {
	std::unique_ptr<sqfs_compressor_t, Sqfs_destroy> compressor;
	std::unique_ptr<sqfs_meta_reader_t, Sqfs_destroy> inodes;
	std::unique_ptr<sqfs_meta_reader_t, Sqfs_destroy> dirs;
	std::vector<uint8_t> scratch; // one on-disk block, sized when first needed
};

// Calls f(entry, ino, ref) for each entry of the directory `dir`, in stored
// order, until f returns non-zero: 0 at the end, f's value, or a negative errno.
template <class F>
int each_dir_entry(Worker &w, const sqfs_super_t &super, const sqfs_inode_generic_t &dir, F f)
{
	sqfs_readdir_state_t state;
	int rc = sqfs_readdir_state_init(&state, &super, &dir);
	if (rc != 0)
		return sqfs_to_errno(rc);
	for (;;) {
		sqfs_dir_entry_t *raw = nullptr;
		sqfs_u32 ino = 0;
		sqfs_u64 ref = 0;
		rc = sqfs_meta_reader_readdir(w.dirs.get(), &state, &raw, &ino, &ref);
		if (rc > 0)
			return 0;
		if (rc < 0)
			return sqfs_to_errno(rc);
		std::unique_ptr<sqfs_dir_entry_t, Sqfs_free> entry(raw);
		if ((rc = f(*entry, ino, ref)) != 0)
			return rc;
	}
}

class Medium;

// A worker borrowed from a medium's pool for the length of one call, taken
// only when first needed and given back on destruction. Making one counts as
// a use of the medium.
class Worker_lease {
public:
	explicit Worker_lease(const Medium &m);
	~Worker_lease();
	Worker_lease(const Worker_lease &) = delete;
	Worker_lease &operator=(const Worker_lease &) = delete;
	// 0 or a negative errno.
	int get(Worker *&out);

private:
	const Medium &medium_;
	std::unique_ptr<Worker> worker_;
};

class Medium {
public:
	// Opens and checks the image; 0 or a negative errno.
	static int open(const std::string &image_path, std::unique_ptr<Medium> &out);
	~Medium();

	int32_t id() const { return id_; }
	void set_id(int32_t id) { id_ = id; }
	const std::string &path() const { return path_; }
	// Hash of the superblock and all metadata: equal for the same image.
	uint64_t content_hash() const { return content_hash_; }

	uint64_t total_bytes() const { return super_.bytes_used; }
	uint64_t total_files() const { return super_.inode_count; }
	uint32_t block_size() const { return super_.block_size; }
	const sqfs_super_t &super() const { return super_; }
	const Image_file &image() const { return image_; }
	// Never the same for two media opened in one process: the caches' key.
	uint64_t serial() const { return serial_; }

	// A worker from the pool; errors (ENOMEM, compressor) as a negative errno.
	int lease(std::unique_ptr<Worker> &out) const;
	void give_back(std::unique_ptr<Worker> w) const;
	size_t pooled_workers() const;
	// Records a use at monotonic_seconds() (never 0: the clock starts at boot).
	void touch() const { last_use_.store(std::max<uint64_t>(monotonic_seconds(), 1), std::memory_order_relaxed); }
	// Frees the pooled workers of a medium unused for idle_seconds, once per
	// idle period: true when it did (the caller then drops its cached contents).
	bool release_if_idle(uint64_t now, uint64_t idle_seconds) const;

	// The inode named by a (untrusted) handle: ESTALE unless the handle's id,
	// the inode's own number and the whole mode (type and permission bits)
	// all agree, so that one object has exactly one handle.
	int inode_for_handle(Worker &w, const qor_file_handle &fh, Inode_ptr &out) const;
	// The inode with this number (1 to total_files()); EIO when there is none.
	int read_inode(Worker &w, uint32_t ino, Inode_ptr &out) const;
	// The file-type bits of the inode a directory entry refers to, read from
	// the inode alone; EIO unless it carries the entry's inode number.
	int entry_type(Worker &w, uint64_t ref, uint32_t ino, mode_t &type) const;
	// The object at a path inside the medium ("" and "/" are the root).
	int resolve(const char *path, uint32_t &ino, qor_stat_t &st) const;
	// The listing of the directory a handle names if it is cached: opening a
	// directory then needs no inode read (large directories have large inodes).
	std::shared_ptr<const Listing> cached_directory(const qor_file_handle &fh) const;
	// The sorted listing of a directory, from the cache or built from its inode.
	int listing(Worker &w, const sqfs_inode_generic_t &dir, std::shared_ptr<const Listing> &out) const;

	// Location of a fragment block: 0 or a negative errno.
	int fragment(uint32_t index, uint64_t &start, uint32_t &size_word) const;

private:
	Medium();

	static constexpr uint64_t k_no_ref = ~uint64_t(0);

	int check_super() const;
	int load_fragments(Worker &w);
	int load_inode_map(Worker &w);
	int scan_inode_table(Worker &w);
	int hash_content();
	int new_worker(std::unique_ptr<Worker> &out) const;
	int read_inode_at(Worker &w, uint64_t ref, Inode_ptr &out) const;
	// inode_check.cc: inodes read with every size checked against the
	// image before anything is allocated by it.
	int measure_inode_table();
	int count_xattr_ids();
	bool valid_xattr(uint32_t index) const;
	int decode_base(Worker &w, uint64_t ref, sqfs_inode_t &base) const;
	int decode_inode(Worker &w, uint64_t ref, Inode_ptr &out) const;
	int decode_file(Worker &w, const sqfs_inode_t &base, Inode_ptr &out) const;
	int decode_link(Worker &w, const sqfs_inode_t &base, Inode_ptr &out) const;
	int decode_fixed(Worker &w, const sqfs_inode_t &base, Inode_ptr &out) const;
	int skip_dir_index(Worker &w, uint32_t count) const;
	int check_file(uint64_t size, uint32_t fragment, uint32_t fragment_offset, uint64_t blocks_start) const;
	int check_dir(uint32_t start_block, uint32_t offset) const;
	int build_listing(Worker &w, const sqfs_inode_generic_t &dir, std::shared_ptr<const Listing> &out) const;
	std::shared_ptr<const Listing> cached_listing(uint32_t ino) const;

	const uint64_t serial_;
	int32_t id_ = -1;
	std::string path_;
	Image_file image_;
	sqfs_super_t super_{};
	sqfs_compressor_config_t compressor_config_{};
	uint64_t content_hash_ = 0;
	uint64_t dir_table_end_ = 0;
	uint64_t inode_table_capacity_ = 0; // decompressed bytes the inode table can hold
	uint32_t xattr_ids_ = 0;
	std::vector<uint64_t> inode_refs_; // inode number - 1 -> inode reference
	std::vector<sqfs_fragment_t> fragments_;
	uint32_t root_ino_ = 0;
	qor_stat_t root_stat_{};

	mutable std::mutex pool_mutex_;
	mutable std::vector<std::unique_ptr<Worker>> pool_;
	static constexpr uint64_t k_never_used = 0;
	mutable std::atomic<uint64_t> last_use_{k_never_used}; // monotonic_seconds() of the latest lease
	mutable std::atomic<uint64_t> released_at_use_{UINT64_MAX}; // last_use_ when last released

};

} // namespace qor

#endif

// Inode fields checked against the image before libsquashfs sees them: it
// allocates by the sizes an inode claims (a file's block list, a link's
// target, a directory's index names) before it finds out that the data is not
// there, so a damaged inode could make it ask for petabytes.
#include "medium.h"

#include <algorithm>
#include <cerrno>
#include <endian.h>

#include <sqfs/dir.h>
#include <sqfs/xattr.h>

namespace qor {

namespace {

constexpr uint32_t k_none = 0xffffffff;
constexpr uint64_t k_no_table = ~uint64_t(0);
constexpr size_t k_header = 2;
// SquashFS stores names of at most 256 bytes (size + 1).
constexpr uint32_t k_max_stored_name = 256;

} // namespace

// Walks the headers of the inode table's metadata blocks: the table must be
// a chain of blocks that ends where the directory table starts. Their count
// bounds what the table can hold once decompressed.
int Medium::measure_inode_table()
{
	uint64_t end = super_.directory_table_start, blocks = 0;
	std::vector<uint8_t> window(1u << 16);
	uint64_t window_at = 0, window_len = 0;
	for (uint64_t pos = super_.inode_table_start; pos < end; ++blocks) {
		if (pos + k_header > end)
			return -EIO;
		if (pos < window_at || pos + k_header > window_at + window_len) {
			window_at = pos;
			window_len = std::min<uint64_t>(window.size(), end - pos);
			int rc = image_.read_exact(window_at, window.data(), window_len);
			if (rc < 0)
				return rc;
		}
		const uint8_t *h = window.data() + (pos - window_at);
		uint32_t size = (h[0] | h[1] << 8) & 0x7fff;
		if (size == 0 || size > SQFS_META_BLOCK_SIZE)
			return -EIO;
		pos += k_header + size;
		if (pos > end)
			return -EIO;
	}
	inode_table_capacity_ = blocks * SQFS_META_BLOCK_SIZE;
	dir_table_end_ = super_.bytes_used;
	for (uint64_t start : {super_.fragment_table_start, super_.export_table_start, super_.id_table_start,
			       super_.xattr_id_table_start})
		if (start != k_no_table && start > super_.directory_table_start && start < dir_table_end_)
			dir_table_end_ = start;
	return 0;
}

// Extended inodes name their extended attributes by an index into the xattr
// id table; nothing here reads them, but an index past the table is damage.
int Medium::count_xattr_ids()
{
	if ((super_.flags & SQFS_FLAG_NO_XATTRS) || super_.xattr_id_table_start == k_no_table)
		return 0;
	sqfs_xattr_id_table_t table;
	if (super_.xattr_id_table_start > super_.bytes_used - sizeof(table))
		return -EIO;
	int rc = image_.read_exact(super_.xattr_id_table_start, &table, sizeof(table));
	if (rc < 0)
		return rc;
	xattr_ids_ = le32toh(table.xattr_ids);
	return 0;
}

bool Medium::valid_xattr(uint32_t index) const { return index == k_none || index < xattr_ids_; }

int Medium::check_file(uint64_t size, uint32_t fragment, uint32_t fragment_offset, uint64_t blocks_start) const
{
	uint64_t tail = size % block_size();
	bool has_fragment = fragment != k_none && fragment_offset != k_none;
	uint64_t blocks = size / block_size() + (tail != 0 && !has_fragment ? 1 : 0);
	if (blocks > inode_table_capacity_ / sizeof(uint32_t) || blocks_start > super_.bytes_used)
		return -EIO;
	if (tail != 0 && has_fragment && (fragment >= fragments_.size() || fragment_offset >= block_size()))
		return -EIO;
	return 0;
}

int Medium::check_dir(uint32_t start_block, uint32_t offset) const
{
	if (start_block >= dir_table_end_ - super_.directory_table_start || offset >= SQFS_META_BLOCK_SIZE)
		return -EIO;
	return 0;
}

// The index of an extended directory: libsquashfs grows a buffer for each
// entry's name by the size the entry claims.
int Medium::check_dir_index(Worker &w, uint32_t count) const
{
	for (uint32_t i = 0; i < count; ++i) {
		sqfs_dir_index_t entry;
		if (sqfs_meta_reader_read(w.inodes.get(), &entry, sizeof(entry)) != 0)
			return -EIO;
		uint32_t name = le32toh(entry.size) + 1;
		if (name == 0 || name > k_max_stored_name ||
		    sqfs_meta_reader_read(w.inodes.get(), w.scratch.data(), name) != 0)
			return -EIO;
	}
	return 0;
}

int Medium::check_inode(Worker &w, uint64_t ref) const
{
	sqfs_meta_reader_t *r = w.inodes.get();
	sqfs_inode_t base;
	if (sqfs_meta_reader_seek(r, super_.inode_table_start + (ref >> 16), ref & 0xffff) != 0 ||
	    sqfs_meta_reader_read(r, &base, sizeof(base)) != 0)
		return -EIO;
	uint32_t number = le32toh(base.inode_number);
	if (number < 1 || number > super_.inode_count)
		return -EIO;
	switch (le16toh(base.type)) {
	case SQFS_INODE_FILE: {
		sqfs_inode_file_t f;
		if (sqfs_meta_reader_read(r, &f, sizeof(f)) != 0)
			return -EIO;
		return check_file(le32toh(f.file_size), le32toh(f.fragment_index), le32toh(f.fragment_offset),
				  le32toh(f.blocks_start));
	}
	case SQFS_INODE_EXT_FILE: {
		sqfs_inode_file_ext_t f;
		if (sqfs_meta_reader_read(r, &f, sizeof(f)) != 0 || !valid_xattr(le32toh(f.xattr_idx)))
			return -EIO;
		return check_file(le64toh(f.file_size), le32toh(f.fragment_idx), le32toh(f.fragment_offset),
				  le64toh(f.blocks_start));
	}
	case SQFS_INODE_SLINK:
	case SQFS_INODE_EXT_SLINK: {
		sqfs_inode_slink_t l;
		if (sqfs_meta_reader_read(r, &l, sizeof(l)) != 0)
			return -EIO;
		return le32toh(l.target_size) <= inode_table_capacity_ ? 0 : -EIO;
	}
	case SQFS_INODE_DIR: {
		sqfs_inode_dir_t d;
		if (sqfs_meta_reader_read(r, &d, sizeof(d)) != 0)
			return -EIO;
		return check_dir(le32toh(d.start_block), le16toh(d.offset));
	}
	case SQFS_INODE_EXT_DIR: {
		sqfs_inode_dir_ext_t d;
		if (sqfs_meta_reader_read(r, &d, sizeof(d)) != 0 || !valid_xattr(le32toh(d.xattr_idx)))
			return -EIO;
		int rc = check_dir(le32toh(d.start_block), le16toh(d.offset));
		if (rc < 0 || le32toh(d.size) == 0)
			return rc;
		return check_dir_index(w, le16toh(d.inodex_count));
	}
	case SQFS_INODE_EXT_BDEV:
	case SQFS_INODE_EXT_CDEV: {
		sqfs_inode_dev_ext_t d;
		if (sqfs_meta_reader_read(r, &d, sizeof(d)) != 0 || !valid_xattr(le32toh(d.xattr_idx)))
			return -EIO;
		return 0;
	}
	case SQFS_INODE_EXT_FIFO:
	case SQFS_INODE_EXT_SOCKET: {
		sqfs_inode_ipc_ext_t i;
		if (sqfs_meta_reader_read(r, &i, sizeof(i)) != 0 || !valid_xattr(le32toh(i.xattr_idx)))
			return -EIO;
		return 0;
	}
	case SQFS_INODE_BDEV:
	case SQFS_INODE_CDEV:
	case SQFS_INODE_FIFO:
	case SQFS_INODE_SOCKET:
		return 0; // fixed size
	default:
		return -EIO;
	}
}

} // namespace qor

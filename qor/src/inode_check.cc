// Inodes read and checked against the image. libsquashfs's inode reader
// allocates by the sizes an inode claims (a file's block list, a link's
// target, a directory's index names) before it finds out that the data is not
// there, so a damaged inode could make it ask for petabytes: here every size is
// checked first, in the same single pass over the metadata.
#include "medium.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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
// A FIFO's or socket's inode: the common header and a link count.
constexpr uint64_t k_min_inode_bytes = sizeof(sqfs_inode_t) + sizeof(sqfs_inode_ipc_t);

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
	// What open allocates grows with the inode count: it must be a count the
	// table can hold, each inode taking at least the smallest inode's bytes.
	if (super_.inode_count > inode_table_capacity_ / k_min_inode_bytes)
		return -EIO;
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
	if (blocks > std::min<uint64_t>(inode_table_capacity_, UINT32_MAX) / sizeof(uint32_t) ||
	    blocks_start > super_.bytes_used)
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

namespace {

// A generic inode with room for payload bytes after it, as libsquashfs makes
// them (freed with sqfs_free).
int new_inode(const sqfs_inode_t &base, uint64_t payload, Inode_ptr &out)
{
	out.reset(static_cast<sqfs_inode_generic_t *>(calloc(1, sizeof(sqfs_inode_generic_t) + payload)));
	if (!out)
		return -ENOMEM;
	out->base = base;
	out->payload_bytes_available = static_cast<sqfs_u32>(payload);
	return 0;
}

int read_le32s(sqfs_meta_reader_t *r, sqfs_u32 *words, uint64_t count)
{
	if (sqfs_meta_reader_read(r, words, count * sizeof(sqfs_u32)) != 0)
		return -EIO;
	for (uint64_t i = 0; i < count; ++i)
		words[i] = le32toh(words[i]);
	return 0;
}

} // namespace

int Medium::decode_file(Worker &w, const sqfs_inode_t &base, Inode_ptr &out) const
{
	sqfs_meta_reader_t *r = w.inodes.get();
	uint64_t size, blocks_start;
	uint32_t fragment, fragment_offset;
	sqfs_inode_file_t f{};
	sqfs_inode_file_ext_t x{};
	if (base.type == SQFS_INODE_FILE) {
		if (sqfs_meta_reader_read(r, &f, sizeof(f)) != 0)
			return -EIO;
		f.blocks_start = le32toh(f.blocks_start);
		f.fragment_index = le32toh(f.fragment_index);
		f.fragment_offset = le32toh(f.fragment_offset);
		f.file_size = le32toh(f.file_size);
		size = f.file_size, blocks_start = f.blocks_start;
		fragment = f.fragment_index, fragment_offset = f.fragment_offset;
	} else {
		if (sqfs_meta_reader_read(r, &x, sizeof(x)) != 0)
			return -EIO;
		x.blocks_start = le64toh(x.blocks_start);
		x.file_size = le64toh(x.file_size);
		x.sparse = le64toh(x.sparse);
		x.nlink = le32toh(x.nlink);
		x.fragment_idx = le32toh(x.fragment_idx);
		x.fragment_offset = le32toh(x.fragment_offset);
		x.xattr_idx = le32toh(x.xattr_idx);
		if (!valid_xattr(x.xattr_idx))
			return -EIO;
		size = x.file_size, blocks_start = x.blocks_start;
		fragment = x.fragment_idx, fragment_offset = x.fragment_offset;
	}
	int rc = check_file(size, fragment, fragment_offset, blocks_start);
	if (rc < 0)
		return rc;
	bool has_fragment = fragment != k_none && fragment_offset != k_none;
	uint64_t blocks = size / block_size() + (size % block_size() != 0 && !has_fragment ? 1 : 0);
	if ((rc = new_inode(base, blocks * sizeof(sqfs_u32), out)) < 0)
		return rc;
	if (base.type == SQFS_INODE_FILE)
		out->data.file = f;
	else
		out->data.file_ext = x;
	out->payload_bytes_used = static_cast<sqfs_u32>(blocks * sizeof(sqfs_u32));
	return read_le32s(r, out->extra, blocks);
}

int Medium::decode_link(Worker &w, const sqfs_inode_t &base, Inode_ptr &out) const
{
	sqfs_meta_reader_t *r = w.inodes.get();
	sqfs_inode_slink_t l;
	if (sqfs_meta_reader_read(r, &l, sizeof(l)) != 0)
		return -EIO;
	l.nlink = le32toh(l.nlink);
	l.target_size = le32toh(l.target_size);
	if (l.target_size > inode_table_capacity_)
		return -EIO;
	int rc = new_inode(base, uint64_t(l.target_size) + 1, out); // zero-terminated
	if (rc < 0)
		return rc;
	out->data.slink = l;
	out->payload_bytes_used = l.target_size;
	if (sqfs_meta_reader_read(r, out->extra, l.target_size) != 0)
		return -EIO;
	if (base.type == SQFS_INODE_EXT_SLINK) {
		sqfs_u32 xattr;
		if (read_le32s(r, &xattr, 1) < 0 || !valid_xattr(xattr))
			return -EIO;
		out->data.slink_ext.xattr_idx = xattr;
	}
	return 0;
}

// The index of an extended directory follows its inode; nothing here looks
// names up through it, but a scan of the inode table must step over it.
int Medium::skip_dir_index(Worker &w, uint32_t count) const
{
	uint8_t skipped[k_max_stored_name];
	for (uint32_t i = 0; i < count; ++i) {
		sqfs_dir_index_t entry;
		if (sqfs_meta_reader_read(w.inodes.get(), &entry, sizeof(entry)) != 0)
			return -EIO;
		uint32_t name = le32toh(entry.size) + 1;
		if (name == 0 || name > k_max_stored_name ||
		    sqfs_meta_reader_read(w.inodes.get(), skipped, name) != 0)
			return -EIO;
	}
	return 0;
}

// Every other type has a fixed size (an extended directory's index aside).
int Medium::decode_fixed(Worker &w, const sqfs_inode_t &base, Inode_ptr &out) const
{
	sqfs_meta_reader_t *r = w.inodes.get();
	int rc = new_inode(base, 0, out);
	if (rc < 0)
		return rc;
	auto &d = out->data;
	switch (base.type) {
	case SQFS_INODE_DIR:
		if (sqfs_meta_reader_read(r, &d.dir, sizeof(d.dir)) != 0)
			return -EIO;
		d.dir.start_block = le32toh(d.dir.start_block);
		d.dir.nlink = le32toh(d.dir.nlink);
		d.dir.size = le16toh(d.dir.size);
		d.dir.offset = le16toh(d.dir.offset);
		d.dir.parent_inode = le32toh(d.dir.parent_inode);
		return check_dir(d.dir.start_block, d.dir.offset);
	case SQFS_INODE_EXT_DIR:
		if (sqfs_meta_reader_read(r, &d.dir_ext, sizeof(d.dir_ext)) != 0)
			return -EIO;
		d.dir_ext.nlink = le32toh(d.dir_ext.nlink);
		d.dir_ext.size = le32toh(d.dir_ext.size);
		d.dir_ext.start_block = le32toh(d.dir_ext.start_block);
		d.dir_ext.parent_inode = le32toh(d.dir_ext.parent_inode);
		d.dir_ext.inodex_count = le16toh(d.dir_ext.inodex_count);
		d.dir_ext.offset = le16toh(d.dir_ext.offset);
		d.dir_ext.xattr_idx = le32toh(d.dir_ext.xattr_idx);
		if (!valid_xattr(d.dir_ext.xattr_idx) || (rc = check_dir(d.dir_ext.start_block, d.dir_ext.offset)) < 0)
			return -EIO;
		return d.dir_ext.size != 0 ? skip_dir_index(w, d.dir_ext.inodex_count) : 0;
	case SQFS_INODE_BDEV:
	case SQFS_INODE_CDEV:
		return read_le32s(r, &d.dev.nlink, sizeof(d.dev) / sizeof(sqfs_u32));
	case SQFS_INODE_EXT_BDEV:
	case SQFS_INODE_EXT_CDEV:
		rc = read_le32s(r, &d.dev_ext.nlink, sizeof(d.dev_ext) / sizeof(sqfs_u32));
		return rc < 0 || !valid_xattr(d.dev_ext.xattr_idx) ? -EIO : 0;
	case SQFS_INODE_FIFO:
	case SQFS_INODE_SOCKET:
		return read_le32s(r, &d.ipc.nlink, sizeof(d.ipc) / sizeof(sqfs_u32));
	case SQFS_INODE_EXT_FIFO:
	case SQFS_INODE_EXT_SOCKET:
		rc = read_le32s(r, &d.ipc_ext.nlink, sizeof(d.ipc_ext) / sizeof(sqfs_u32));
		return rc < 0 || !valid_xattr(d.ipc_ext.xattr_idx) ? -EIO : 0;
	default:
		return -EIO;
	}
}

// The common header of the inode at ref, its number checked.
int Medium::decode_base(Worker &w, uint64_t ref, sqfs_inode_t &base) const
{
	sqfs_meta_reader_t *r = w.inodes.get();
	if (sqfs_meta_reader_seek(r, super_.inode_table_start + (ref >> 16), ref & 0xffff) != 0 ||
	    sqfs_meta_reader_read(r, &base, sizeof(base)) != 0)
		return -EIO;
	base.type = le16toh(base.type);
	base.mode = le16toh(base.mode);
	base.uid_idx = le16toh(base.uid_idx);
	base.gid_idx = le16toh(base.gid_idx);
	base.mod_time = le32toh(base.mod_time);
	base.inode_number = le32toh(base.inode_number);
	if (base.inode_number < 1 || base.inode_number > super_.inode_count)
		return -EIO;
	return 0;
}

// Reads the inode at ref in one pass of the worker's inode reader, checking
// each size before anything is allocated by it: what libsquashfs's own
// reader does, without its allocations by unchecked sizes.
int Medium::decode_inode(Worker &w, uint64_t ref, Inode_ptr &out) const
{
	sqfs_inode_t base;
	int rc = decode_base(w, ref, base);
	if (rc < 0)
		return rc;
	Inode_ptr inode;
	switch (base.type) {
	case SQFS_INODE_FILE:
	case SQFS_INODE_EXT_FILE:
		rc = decode_file(w, base, inode);
		break;
	case SQFS_INODE_SLINK:
	case SQFS_INODE_EXT_SLINK:
		rc = decode_link(w, base, inode);
		break;
	default:
		rc = decode_fixed(w, base, inode);
		break;
	}
	if (rc < 0)
		return rc;
	inode->base.mode = static_cast<sqfs_u16>((base.mode & ~S_IFMT) | inode_type_bits(*inode));
	out = std::move(inode);
	return 0;
}

} // namespace qor

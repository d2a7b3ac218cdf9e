// The inode numbers of everything at or below a directory of a medium, as a
// bitmap: one pass over the directory table under it. What is a directory is
// read from each entry's inode, never from the entry's own type (which a
// damaged image can make disagree), as every other call decides it. A
// directory belongs to the subtree only below the directory its inode names as
// its parent: an entry elsewhere that names it (damage; directories have no
// hard links) must not carry another part of the medium into the export.
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include <sqfs/dir.h>
#include <sqfs/error.h>

#include "registry.h"

using namespace qor;

namespace {

constexpr unsigned k_word_bits = 64;

bool marked(const uint64_t *bits, uint32_t ino) { return bits[ino / k_word_bits] >> (ino % k_word_bits) & 1; }
void mark(uint64_t *bits, uint32_t ino) { bits[ino / k_word_bits] |= uint64_t(1) << (ino % k_word_bits); }

// Whether directory `ino` names `parent` as the directory it lives in.
int names_parent(const Medium &m, Worker &w, uint32_t ino, uint32_t parent, bool &yes)
{
	Inode_ptr dir;
	int rc = m.read_inode(w, ino, dir);
	if (rc < 0)
		return rc;
	yes = dir_parent(*dir) == parent;
	return 0;
}

// Marks the entries of one directory; queues its subdirectories that were not
// marked yet (a damaged table cannot make the walk loop).
int mark_entries(const Medium &m, Worker &w, uint32_t dir_ino, uint64_t *bits, std::vector<uint32_t> &todo)
{
	Inode_ptr dir;
	int rc = m.read_inode(w, dir_ino, dir);
	if (rc < 0)
		return rc;
	if (inode_type_bits(*dir) != S_IFDIR)
		return -EIO;
	return each_dir_entry(w, m.super(), *dir, [&](const sqfs_dir_entry_t &, sqfs_u32 ino, sqfs_u64 ref) {
		if (ino < 1 || ino > m.total_files())
			return -EIO;
		if (marked(bits, ino))
			return 0; // a hard link, or damage
		mode_t type = 0;
		int err = m.entry_type(w, ref, ino, type);
		if (err < 0)
			return err;
		if (type == S_IFDIR) {
			bool child = false;
			if ((err = names_parent(m, w, ino, dir_ino, child)) < 0 || !child)
				return err;
			todo.push_back(ino);
		}
		mark(bits, ino);
		return 0;
	});
}

int mark_subtree(const Medium &m, const char *path, uint64_t *bits, size_t nbits)
{
	if (nbits <= m.total_files())
		return -EINVAL;
	std::memset(bits, 0, (nbits + k_word_bits - 1) / k_word_bits * sizeof(uint64_t));
	uint32_t top;
	qor_stat_t st;
	int rc = m.resolve(path, top, st);
	if (rc < 0)
		return rc;
	if (!S_ISDIR(st.mode))
		return -ENOTDIR;
	Worker_lease lease(m);
	Worker *w = nullptr;
	if ((rc = lease.get(w)) < 0)
		return rc;
	mark(bits, top);
	std::vector<uint32_t> todo{top};
	while (!todo.empty()) {
		uint32_t dir = todo.back();
		todo.pop_back();
		if ((rc = mark_entries(m, *w, dir, bits, todo)) < 0)
			return rc;
	}
	return 0;
}

} // namespace

extern "C" int qor_subtree_inodes(int media_id, const char *path, uint64_t *bits, size_t nbits)
{
	int rc = -EFAULT;
	try {
		if (path && bits) {
			std::shared_ptr<const Medium> m = Media_table::instance().find(media_id);
			rc = m ? mark_subtree(*m, path, bits, nbits) : -EBADF;
		}
	} catch (const std::bad_alloc &) { // no exception leaves the C interface
		rc = -ENOMEM;
	} catch (...) {
		rc = -EIO;
	}
	if (rc < 0) {
		errno = -rc;
		return -1;
	}
	return 0;
}

// Open files and directories, numbered like POSIX descriptors. Files and
// directories share one number space, so either kind may be closed with
// qor_close.
#ifndef QOR_DESCRIPTORS_H
#define QOR_DESCRIPTORS_H

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "file_data.h"
#include "listing.h"
#include "medium.h"
#include "readahead.h"

namespace qor {

struct Descriptor {
	std::shared_ptr<const Medium> medium;
	uint32_t ino = 0;
	qor_stat_t st{};

	File_data data;          // regular files
	Stream stream;           // where the readers of a regular file are
	std::string link_target; // symbolic links

	std::shared_ptr<const Listing> listing; // directories
	std::mutex position_mutex;
	size_t position = 0; // index of the next entry

	bool is_dir() const { return S_ISDIR(st.mode); }
};

class Descriptor_table {
public:
	static Descriptor_table &instance();

	// The new descriptor number, or -EMFILE.
	int insert(std::shared_ptr<Descriptor> d);
	std::shared_ptr<Descriptor> find(int fd) const;
	std::shared_ptr<Descriptor> remove(int fd);
	void clear();

private:
	static constexpr size_t k_max = 1u << 20;
	mutable std::shared_mutex mutex_;
	std::vector<std::shared_ptr<Descriptor>> slots_;
	std::vector<int> free_; // reused lowest-last
};

} // namespace qor

#endif

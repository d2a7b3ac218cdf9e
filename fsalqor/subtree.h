/* The objects an export with an export_path may serve: those at or below that
 * directory on the medium, whichever export a handle arrives on. */
#ifndef FSALQOR_SUBTREE_H
#define FSALQOR_SUBTREE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class export_subtree {
public:
	export_subtree(int media_id, const char *export_path)
		: media_id_(media_id), path_(export_path) {}
	export_subtree(const export_subtree &) = delete;
	export_subtree &operator=(const export_subtree &) = delete;

	/* Whether the object with this inode number lies in the subtree. The
	 * first call finds the subtree's objects (one bit per inode of the
	 * medium); every call after that is one bit test. If they cannot be
	 * found, nothing is in the subtree. */
	bool contains(int32_t id);

private:
	void find_objects();

	const int media_id_;
	const std::string path_;
	std::once_flag once_;
	bool whole_medium_ = false;
	std::vector<uint64_t> bits_;
};

#endif /* FSALQOR_SUBTREE_H */

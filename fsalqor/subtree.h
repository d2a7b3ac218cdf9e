/* The objects an export with an export_path may serve: those at or below that
 * directory on the medium, whichever export a handle arrives on. */
#ifndef FSALQOR_SUBTREE_H
#define FSALQOR_SUBTREE_H

#include <atomic>
#include <chrono>
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
	 * medium); every call after that is one bit test. While they cannot be
	 * found, nothing is in the subtree, and a request at least a second
	 * after a failure tries again. */
	bool contains(int32_t id);

private:
	bool find_objects();
	void try_to_find();

	const int media_id_;
	const std::string path_;
	std::mutex mutex_;		/* held while the objects are found */
	std::atomic<bool> found_{false};
	std::chrono::steady_clock::time_point retry_at_{};
	bool whole_medium_ = false;
	std::vector<uint64_t> bits_;
};

#endif /* FSALQOR_SUBTREE_H */

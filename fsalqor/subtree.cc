#include "subtree.h"

#include <cerrno>
#include <cstring>

#include "qor_methods.h"

namespace {

/* A failure may be passing (memory, I/O): the next try waits this long, so
 * that requests do not each walk the medium again. */
constexpr std::chrono::seconds k_retry_after{1};

} // namespace

bool export_subtree::contains(int32_t id)
{
	if (!found_.load(std::memory_order_acquire))
		try_to_find();
	if (!found_.load(std::memory_order_acquire))
		return false;
	if (whole_medium_)
		return true;
	auto ino = static_cast<uint64_t>(id);
	return id > 0 && ino / 64 < bits_.size() && (bits_[ino / 64] >> (ino % 64) & 1);
}

void export_subtree::try_to_find()
{
	std::lock_guard<std::mutex> lock(mutex_);
	auto now = std::chrono::steady_clock::now();

	if (found_.load(std::memory_order_relaxed) || now < retry_at_)
		return;
	if (find_objects())
		found_.store(true, std::memory_order_release);
	else
		retry_at_ = now + k_retry_after;
}

bool export_subtree::find_objects()
{
	qor_file_handle top, root;
	uint64_t bytes = 0, files = 0;

	if (qor_name_to_handle(media_id_, path_.c_str(), &top) == 0 &&
	    qor_name_to_handle(media_id_, "/", &root) == 0 && top.id == root.id) {
		whole_medium_ = true;
		return true;
	}
	std::vector<uint64_t> bits;
	int rc = qor_media_stat(media_id_, &bytes, &files);
	if (rc == 0) {
		bits.resize(files / 64 + 1);
		rc = qor_subtree_inodes(media_id_, path_.c_str(), bits.data(),
					bits.size() * 64);
	}
	if (rc < 0) {
		LogCrit(COMPONENT_FSAL,
			"Could not find the objects under export path %s, error %s",
			path_.c_str(), strerror(errno));
		return false;
	}
	bits_ = std::move(bits);
	return true;
}

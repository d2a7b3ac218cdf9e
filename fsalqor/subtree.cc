#include "subtree.h"

#include <cerrno>
#include <cstring>

#include "qor_methods.h"

bool export_subtree::contains(int32_t id)
{
	std::call_once(once_, &export_subtree::find_objects, this);
	if (whole_medium_)
		return true;
	auto ino = static_cast<uint64_t>(id);
	return id > 0 && ino / 64 < bits_.size() && (bits_[ino / 64] >> (ino % 64) & 1);
}

void export_subtree::find_objects()
{
	qor_file_handle top, root;
	uint64_t bytes = 0, files = 0;

	if (qor_name_to_handle(media_id_, path_.c_str(), &top) == 0 &&
	    qor_name_to_handle(media_id_, "/", &root) == 0 && top.id == root.id) {
		whole_medium_ = true;
		return;
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
		return;
	}
	bits_ = std::move(bits);
}

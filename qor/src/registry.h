// The open media, by media id, with a reference count each.
#ifndef QOR_REGISTRY_H
#define QOR_REGISTRY_H

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "medium.h"

namespace qor {

// DIR/MINOR_RESOURCE_ID/SEQ.sqfs after checking each part: 0 or a negative errno.
int media_image_path(const char *dir, const char *minor_resource_id, uint32_t seq, std::string &out);

class Media_table {
public:
	static Media_table &instance();

	// The media id (0 or more) or a negative errno.
	int open(const char *dir, const char *minor_resource_id, uint32_t seq);
	int close(int32_t media_id);
	std::shared_ptr<const Medium> find(int32_t media_id) const;
	// Releases the workers and cached contents of the media that went idle
	// (Medium::release_if_idle); true when there were any.
	bool release_idle(uint64_t now, uint64_t idle_seconds);
	void clear();

private:
	struct Entry {
		std::shared_ptr<Medium> medium;
		unsigned refs;
	};
	mutable std::shared_mutex mutex_;
	std::unordered_map<int32_t, Entry> media_;
};

} // namespace qor

#endif

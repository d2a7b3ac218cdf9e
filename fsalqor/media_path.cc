#include "media_path.h"

#include <cstring>

namespace {

/* request is fs_path itself or lies below it: whole components, so that
 * /backup/42 does not take /backup/420. */
bool below_fs_path(const char *fs_path, size_t fs_pathlen, const char *request)
{
	if (std::strncmp(request, fs_path, fs_pathlen) != 0)
		return false;
	char next = request[fs_pathlen];
	return next == '\0' || next == '/' ||
	       (fs_pathlen > 0 && fs_path[fs_pathlen - 1] == '/');
}

} // namespace

void compose_media_path(const char *fs_path, size_t fs_pathlen,
			const char *request, const char *export_path,
			media_path *out)
{
	std::memset(out->path, 0, sizeof(out->path));
	out->in_path = nullptr;
	out->limit = 0;

	if (!below_fs_path(fs_path, fs_pathlen, request)) {
		out->result = media_path::outside_filesystem;
		return;
	}
	const char *in_path = std::strlen(request) == fs_pathlen
				      ? "/" : request + fs_pathlen;
	size_t prefix = 0;

	if (export_path != nullptr) {
		prefix = std::strlen(export_path);
		if (prefix >= sizeof(out->path)) {
			out->result = media_path::export_path_too_long;
			out->limit = sizeof(out->path) - 1;
			return;
		}
		std::memcpy(out->path, export_path, prefix + 1);
		while (in_path[0] == '/' && out->path[prefix - 1] == '/')
			in_path++;
		if (in_path[0] != '/' && out->path[prefix - 1] != '/') {
			if (prefix >= sizeof(out->path) - 1) {
				out->result = media_path::no_room_for_separator;
				out->limit = sizeof(out->path) - 2;
				return;
			}
			out->path[prefix++] = '/';
		}
	}
	out->in_path = in_path;

	size_t rest = std::strlen(in_path) + 1;

	if (rest + prefix > sizeof(out->path)) {
		out->result = media_path::path_too_long;
		out->limit = sizeof(out->path) - prefix;
		return;
	}
	std::memcpy(out->path + prefix, in_path, rest);
	out->result = media_path::ok;
}

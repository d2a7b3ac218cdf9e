/* The path on the medium that an export's path stands for. */
#ifndef FSALQOR_MEDIA_PATH_H
#define FSALQOR_MEDIA_PATH_H

#include <cstddef>

#include "qor.h"

struct media_path {
	enum outcome {
		ok,
		outside_filesystem,	/* the path is not the fs path or below it */
		export_path_too_long,	/* limit: the longest export path */
		no_room_for_separator,	/* limit: the longest export path that takes a '/' */
		path_too_long,		/* limit: room left for the remainder */
	};
	outcome result;
	const char *in_path;	/* the part of the request below the fs path */
	size_t limit;
	char path[QOR_PATH_MAX];
};

/* Joins export_path (may be null) with the part of request below fs_path
 * (the first fs_pathlen characters, matched as whole path components), with
 * one '/' at the seam. */
void compose_media_path(const char *fs_path, size_t fs_pathlen,
			const char *request, const char *export_path,
			media_path *out);

#endif /* FSALQOR_MEDIA_PATH_H */

#include "wire_handle.h"

#include <cstring>

wire_handle_check check_wire_handle(const void *addr, size_t len,
				    int export_media_id, qor_file_handle *fh)
{
	qor_file_handle wire;

	if (len != sizeof(wire))
		return wire_handle_check::bad_length;
	std::memcpy(&wire, addr, sizeof(wire));
	if (export_media_id < 0 || wire.media_id != export_media_id)
		return wire_handle_check::other_medium;
	if (fh != nullptr)
		*fh = wire;
	return wire_handle_check::ok;
}

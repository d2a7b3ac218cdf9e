/* Checks on the 12-byte handles that clients send, before any media access. */
#ifndef FSALQOR_WIRE_HANDLE_H
#define FSALQOR_WIRE_HANDLE_H

#include <cstddef>

#include "qor.h"

enum class wire_handle_check {
	ok,
	bad_length,	/* not exactly one qor_file_handle */
	other_medium,	/* names a medium that is not the export's */
};

/* Checks the bytes at addr (len of them) against the medium of the export
 * they arrived on and, when they pass, copies them into *fh (if not null). */
wire_handle_check check_wire_handle(const void *addr, size_t len,
				    int export_media_id, qor_file_handle *fh);

#endif /* FSALQOR_WIRE_HANDLE_H */

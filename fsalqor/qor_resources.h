/* Owners of the media library's descriptors and directory streams. */
#ifndef FSALQOR_QOR_RESOURCES_H
#define FSALQOR_QOR_RESOURCES_H

#include "qor.h"

template <int (*Close)(int)>
class qor_descriptor {
public:
	explicit qor_descriptor(int fd) : fd_(fd) {}
	~qor_descriptor() { reset(); }
	qor_descriptor(const qor_descriptor &) = delete;
	qor_descriptor &operator=(const qor_descriptor &) = delete;

	bool valid() const { return fd_ >= 0; }
	int get() const { return fd_; }

	/* Closes now; returns the library's result (0 when nothing was open). */
	int reset()
	{
		int rc = 0;

		if (fd_ >= 0)
			rc = Close(fd_);
		fd_ = -1;
		return rc;
	}

private:
	int fd_;
};

using qor_file = qor_descriptor<qor_close>;
using qor_dir = qor_descriptor<qor_close_dir>;

#endif /* FSALQOR_QOR_RESOURCES_H */

/* File reads: descriptors, the server's descriptor finder, read2, close. */
#include <cerrno>

#include "qor_methods.h"

namespace {

bool is_closed(const qor_fs_fd *my_fd)
{
	return my_fd->fd == -1 && my_fd->openflags == FSAL_O_CLOSED;
}

fsal_status_t qor_fs_open_func(struct fsal_obj_handle *obj_hdl,
			       fsal_openflags_t openflags, struct fsal_fd *fd)
{
	return qor_fs_open_my_fd(qor_handle_of(obj_hdl), openflags,
				 reinterpret_cast<qor_fs_fd *>(fd));
}

fsal_status_t qor_fs_close_func(struct fsal_obj_handle *, struct fsal_fd *fd)
{
	return qor_fs_close_my_fd(reinterpret_cast<qor_fs_fd *>(fd));
}

qor_fs_fd *state_fd(struct state_t *state)
{
	return &container_of(state, struct qor_fs_state_fd, state)->qor_fs_fd;
}

/* Reads without an open state (all of NFSv3's) use the object's own
 * descriptor, opened on the first read and kept until the object is released,
 * with the object's lock held for reading (*has_lock). It is no system
 * descriptor, so it stays out of the server's count of open descriptors: that
 * count is held against the process's descriptor limit, and a walk reading
 * more files than the limit would make the server answer every read, on every
 * export, with NFS3ERR_JUKEBOX until its reaper closed enough of them. */
fsal_status_t own_fd(struct fsal_obj_handle *obj_hdl, int *fd, bool *has_lock)
{
	qor_fsal_obj_handle *myself = qor_handle_of(obj_hdl);

	PTHREAD_RWLOCK_rdlock(&obj_hdl->obj_lock);
	while (is_closed(&myself->qor_fd)) {
		PTHREAD_RWLOCK_unlock(&obj_hdl->obj_lock);
		PTHREAD_RWLOCK_wrlock(&obj_hdl->obj_lock);
		fsal_status_t status = fsalstat(ERR_FSAL_NO_ERROR, 0);
		if (is_closed(&myself->qor_fd))
			status = qor_fs_open_my_fd(myself, FSAL_O_READ,
						   &myself->qor_fd);
		PTHREAD_RWLOCK_unlock(&obj_hdl->obj_lock);
		if (FSAL_IS_ERROR(status))
			return status;
		PTHREAD_RWLOCK_rdlock(&obj_hdl->obj_lock);
	}
	*fd = myself->qor_fd.fd;
	*has_lock = true;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

/* A descriptor for one read: the state's, the object's own, or a temporary
 * one (*closefd). For a directory it is a directory stream, always temporary. */
fsal_status_t find_fd(int *fd, struct fsal_obj_handle *obj_hdl, bool bypass,
		      struct state_t *state, fsal_openflags_t openflags,
		      bool *has_lock, bool *closefd, bool open_for_locks,
		      qor_fs_fd *temp_fd)
{
	qor_fsal_obj_handle *myself = qor_handle_of(obj_hdl);

	switch (obj_hdl->type) {
	case REGULAR_FILE: {
		if (state == nullptr)
			return own_fd(obj_hdl, fd, has_lock);
		struct fsal_fd *out_fd = reinterpret_cast<struct fsal_fd *>(temp_fd);
		fsal_status_t status = fsal_find_fd(
			&out_fd, obj_hdl,
			reinterpret_cast<struct fsal_fd *>(&myself->qor_fd),
			&myself->share, bypass, state, openflags,
			qor_fs_open_func, qor_fs_close_func, has_lock, closefd,
			open_for_locks, nullptr);
		*fd = reinterpret_cast<qor_fs_fd *>(out_fd)->fd;
		return status;
	}
	case CHARACTER_FILE:
	case BLOCK_FILE:
	case SYMBOLIC_LINK:
	case SOCKET_FILE:
	case FIFO_FILE:
		return fsalstat(ERR_FSAL_NOTSUPP, 0);
	case DIRECTORY: {
		int dirfd = qor_open_dir_by_handle(&myself->fh);
		if (dirfd < 0) {
			LogDebug(COMPONENT_FSAL,
				 "Failed to qor_open_dir_by_handle, openflags 0x%08x",
				 openflags);
			return fsalstat(ERR_FSAL_FAULT, 0);
		}
		LogFullDebug(COMPONENT_FSAL, "Opened fd=%d for file of type %s",
			     dirfd, object_file_type_to_str(obj_hdl->type));
		*fd = dirfd;
		*closefd = true;
		return fsalstat(ERR_FSAL_NO_ERROR, 0);
	}
	default:
		return fsalstat(posix2fsal_error(EINVAL), EINVAL);
	}
}

/* Reads the buffers in order from offset and stops at the first short one. */
fsal_status_t read_buffers(int fd, struct fsal_io_arg *read_arg)
{
	uint64_t offset = read_arg->offset;
	size_t total = 0;

	for (int i = 0; i < read_arg->iov_count; i++) {
		const struct iovec &iov = read_arg->iov[i];
		int64_t n = qor_pread(fd, iov.iov_base, iov.iov_len, offset);
		if (n < 0) {
			int error = errno != 0 ? errno : EIO;
			return fsalstat(posix2fsal_error(error), error);
		}
		total += n;
		offset += n;
		if (static_cast<size_t>(n) < iov.iov_len)
			break;
	}
	read_arg->io_amount = total;
	read_arg->end_of_file = total == 0;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

} // namespace

fsal_status_t qor_fs_open_my_fd(qor_fsal_obj_handle *myself,
				fsal_openflags_t openflags, qor_fs_fd *my_fd)
{
	LogFullDebug(COMPONENT_FSAL, "my_fd->fd = %d openflags = %x", my_fd->fd,
		     openflags);
	if (!is_closed(my_fd) || openflags == FSAL_O_CLOSED)
		return fsalstat(ERR_FSAL_INVAL, 0);
	LogFullDebug(COMPONENT_FSAL, "openflags = %x", openflags);

	int fd = qor_open_by_handle(&myself->fh);
	if (fd < 0) {
		LogCrit(COMPONENT_FSAL, "Failed to qor_open_by_handle");
		return fsalstat(ERR_FSAL_FAULT, 0);
	}
	LogFullDebug(COMPONENT_FSAL, "fd = %d, new openflags = %x", fd,
		     openflags);
	if (fd == 0)
		LogDebug(COMPONENT_FSAL, "fd = %d, new openflags = %x", fd,
			 openflags);
	my_fd->fd = fd;
	my_fd->openflags = openflags;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

fsal_status_t qor_fs_close_my_fd(qor_fs_fd *my_fd)
{
	if (my_fd->fd >= 0 && my_fd->openflags != FSAL_O_CLOSED) {
		qor_close(my_fd->fd);
		my_fd->fd = -1;
		my_fd->openflags = FSAL_O_CLOSED;
	}
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

/* The server counts one of its open descriptors down for every close that
 * does not answer ERR_FSAL_NOT_OPENED. The object's own descriptor was never
 * counted (see own_fd): a close lets it go, and says that nothing counted was
 * open. */
fsal_status_t qor_fs_close(struct fsal_obj_handle *obj_hdl)
{
	if (obj_hdl->type != REGULAR_FILE)
		return fsalstat(ERR_FSAL_NOT_OPENED, 0);

	qor_fs_fd *my_fd = &qor_handle_of(obj_hdl)->qor_fd;

	PTHREAD_RWLOCK_wrlock(&obj_hdl->obj_lock);
	if (!is_closed(my_fd))
		qor_fs_close_my_fd(my_fd);
	PTHREAD_RWLOCK_unlock(&obj_hdl->obj_lock);
	return fsalstat(ERR_FSAL_NOT_OPENED, 0);
}

fsal_status_t qor_fs_close2(struct fsal_obj_handle *obj_hdl, struct state_t *state)
{
	qor_fs_fd *my_fd = state != nullptr ? state_fd(state)
					    : &qor_handle_of(obj_hdl)->qor_fd;

	return qor_fs_close_my_fd(my_fd);
}

struct state_t *qor_fs_alloc_state(struct fsal_export *exp_hdl,
				   enum state_type state_type,
				   struct state_t *related_state)
{
	auto *record = static_cast<qor_fs_state_fd *>(
		gsh_calloc(1, sizeof(qor_fs_state_fd)));

	init_state(&record->state, exp_hdl, state_type, related_state);
	record->qor_fs_fd.fd = -1;
	return &record->state;
}

void qor_fs_free_state(struct fsal_export *, struct state_t *state)
{
	gsh_free(container_of(state, struct qor_fs_state_fd, state));
}

/* merge_share() takes orig_hdl's obj_lock itself. */
fsal_status_t qor_fs_merge(struct fsal_obj_handle *orig_hdl,
			   struct fsal_obj_handle *dupe_hdl)
{
	if (orig_hdl->type != REGULAR_FILE || dupe_hdl->type != REGULAR_FILE)
		return fsalstat(ERR_FSAL_NO_ERROR, 0);
	return merge_share(orig_hdl, &qor_handle_of(orig_hdl)->share,
			   &qor_handle_of(dupe_hdl)->share);
}

fsal_status_t qor_fs_open2(struct fsal_obj_handle *, struct state_t *,
			   fsal_openflags_t openflags,
			   enum fsal_create_mode createmode, const char *,
			   struct fsal_attrlist *, fsal_verifier_t,
			   struct fsal_obj_handle **, struct fsal_attrlist *,
			   bool *)
{
	if (createmode != FSAL_NO_CREATE)
		LogCrit(COMPONENT_FSAL,
			"Failed to open qor file with createmode=%d", createmode);
	else
		LogCrit(COMPONENT_FSAL,
			"Failed to open qor file with openflags=%d", openflags);
	return fsalstat(ERR_FSAL_NOTSUPP, 0);
}

void qor_fs_read2(struct fsal_obj_handle *obj_hdl, bool bypass,
		  fsal_async_cb done_cb, struct fsal_io_arg *read_arg,
		  void *caller_arg)
{
	if (read_arg->info != nullptr) {
		done_cb(obj_hdl, fsalstat(ERR_FSAL_NOTSUPP, 0), read_arg,
			caller_arg);
		return;
	}

	qor_fs_fd *qor_fs_fd = nullptr;
	if (read_arg->state != nullptr) {
		qor_fs_fd = state_fd(read_arg->state);
		PTHREAD_RWLOCK_rdlock(&qor_fs_fd->fdlock);
	}

	struct qor_fs_fd temp_fd = {FSAL_O_CLOSED, PTHREAD_RWLOCK_INITIALIZER, -1};
	int fd = -1;
	bool has_lock = false;
	bool closefd = false;
	fsal_status_t status = find_fd(&fd, obj_hdl, bypass, read_arg->state,
				       FSAL_O_READ, &has_lock, &closefd, false,
				       &temp_fd);

	if (!FSAL_IS_ERROR(status)) {
		/* A directory stream cannot be read as a file. */
		if (obj_hdl->type == DIRECTORY)
			status = fsalstat(ERR_FSAL_ISDIR, EISDIR);
		else
			status = read_buffers(fd, read_arg);
	}

	if (closefd) {
		if (obj_hdl->type == DIRECTORY)
			qor_close_dir(fd);
		else
			qor_close(fd);
	}
	if (has_lock)
		PTHREAD_RWLOCK_unlock(&obj_hdl->obj_lock);
	if (qor_fs_fd != nullptr)
		PTHREAD_RWLOCK_unlock(&qor_fs_fd->fdlock);

	done_cb(obj_hdl, status, read_arg, caller_arg);
}

fsal_status_t qor_fs_getattr2(struct fsal_obj_handle *obj_hdl,
			      struct fsal_attrlist *attrs)
{
	LogDebug(COMPONENT_FSAL, "qor_fs_getattr2");
	qor2fsal_attributes(qor_handle_of(obj_hdl), attrs);
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

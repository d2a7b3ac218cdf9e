/* Object handles: lookup, wire handles, directory listings and links. */
#include <cerrno>
#include <cstring>

#include "media_path.h"
#include "qor_methods.h"
#include "qor_resources.h"

namespace {

/* The reason for a failed library call; the library always sets errno, but a
 * failure must never be reported as success. */
int library_error()
{
	return errno != 0 ? errno : EINVAL;
}

fsal_status_t fail_with(int error)
{
	return fsalstat(posix2fsal_error(error), error);
}

qor_fsal_obj_handle *qor_alloc_obj_handle()
{
	return static_cast<qor_fsal_obj_handle *>(
		gsh_calloc(1, sizeof(qor_fsal_obj_handle)));
}

bool is_type(mode_t mode, mode_t type)
{
	return (mode & S_IFMT) == type;
}

void release(struct fsal_obj_handle *obj_hdl)
{
	qor_fsal_obj_handle *myself = qor_handle_of(obj_hdl);

	LogDebug(COMPONENT_FSAL, "FSALQOR release hdl");
	switch (obj_hdl->type) {
	case REGULAR_FILE:
	case SYMBOLIC_LINK: {
		PTHREAD_RWLOCK_wrlock(&obj_hdl->obj_lock);
		fsal_status_t st = qor_fs_close_my_fd(&myself->qor_fd);
		PTHREAD_RWLOCK_unlock(&obj_hdl->obj_lock);
		if (FSAL_IS_ERROR(st))
			LogCrit(COMPONENT_FSAL, "Could not close hdl, error %s(%d)",
				strerror(st.minor), st.minor);
		break;
	}
	case DIRECTORY:
		if (myself->qor_fd.fd != -1) {
			PTHREAD_RWLOCK_wrlock(&obj_hdl->obj_lock);
			if (qor_close_dir(myself->qor_fd.fd) == -1)
				LogCrit(COMPONENT_FSAL, "Could not close hdl");
			myself->qor_fd.fd = -1;
			PTHREAD_RWLOCK_unlock(&obj_hdl->obj_lock);
		}
		break;
	default:
		LogDebug(COMPONENT_FSAL, "Not support type=%x", obj_hdl->type);
		break;
	}
	fsal_obj_handle_fini(obj_hdl);
	LogDebug(COMPONENT_FSAL, "Releasing obj_hdl, myself");
	gsh_free(myself);
}

fsal_status_t lookup(struct fsal_obj_handle *parent, const char *path,
		     struct fsal_obj_handle **handle,
		     struct fsal_attrlist *attrs_out)
{
	LogDebug(COMPONENT_FSAL, "qor_fs_lookup %s\n", path);
	*handle = nullptr;
	if (parent->type != DIRECTORY) {
		LogCrit(COMPONENT_FSAL, "Parent handle is not a directory");
		return fsalstat(ERR_FSAL_NOTDIR, 0);
	}

	qor_dir dir(qor_open_dir_by_handle(&qor_handle_of(parent)->fh));
	if (!dir.valid()) {
		int error = library_error();
		LogCrit(COMPONENT_FSAL,
			"Failed to qor_open_dir_by_handle. error=%d", error);
		return fail_with(error);
	}

	qor_file_handle fh;
	if (qor_name_to_handle_at(dir.get(), path, &fh) < 0) {
		int error = library_error();
		/* Any client can ask for names that do not exist. */
		LogAtLevel(COMPONENT_FSAL, error == ENOENT ? NIV_DEBUG : NIV_CRIT,
			   "Failed to qor_name_to_handle_at. name=%s, error=%d",
			   path, error);
		return fail_with(error);
	}

	/* Only what the export serves is named: the server asks for ".." when
	 * it does not know a directory's parent (an object it made from a
	 * handle, or listed without its cache), and a damaged medium can make
	 * an entry name a directory anywhere. */
	if (!qor_export_serves(op_ctx->fsal_export, fh.id))
		return fsalstat(ERR_FSAL_NOENT, 0);

	qor_stat_t stat;
	int rc = qor_fstat_at(dir.get(), path, &stat);
	int error = rc < 0 ? library_error() : 0;
	dir.reset();
	if (rc < 0) {
		LogCrit(COMPONENT_FSAL, "Failed to get stat for path %s, error %d",
			path, error);
		return fail_with(error);
	}

	/* Sockets and devices are not served: they are left out of listings
	 * and looked up as absent. (The server drops requests that fail with
	 * ERR_FSAL_NOMEM, so the client would retry forever.) */
	qor_fsal_obj_handle *hdl =
		alloc_handle(&fh, parent->fs, &stat, op_ctx->fsal_export);
	if (hdl == nullptr)
		return fsalstat(ERR_FSAL_NOENT, 0);

	qor2fsal_attributes(hdl, attrs_out);
	*handle = &hdl->obj_handle;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

/* Opens the object a client's handle names, once, for a fresh stat record.
 * Returns 0 or the library's errno. */
int stat_by_handle(const qor_file_handle *fh, qor_stat_t *stat)
{
	if (is_type(fh->mode, S_IFDIR)) {
		qor_dir dir(qor_open_dir_by_handle(fh));
		if (!dir.valid() || qor_fstat_at(dir.get(), "", stat) < 0)
			return library_error();
		return 0;
	}
	qor_file file(qor_open_by_handle(fh));
	if (!file.valid() || qor_fstat(file.get(), stat) < 0)
		return library_error();
	return 0;
}

bool reopenable_by_handle(mode_t mode)
{
	return is_type(mode, S_IFREG) || is_type(mode, S_IFDIR) ||
	       is_type(mode, S_IFLNK) || is_type(mode, S_IFIFO);
}

fsal_status_t handle_to_wire(const struct fsal_obj_handle *obj_hdl,
			     fsal_digesttype_t output_type,
			     struct gsh_buffdesc *fh_desc)
{
	if (output_type != FSAL_DIGEST_NFSV3 && output_type != FSAL_DIGEST_NFSV4)
		return fsalstat(ERR_FSAL_SERVERFAULT, 0);
	if (fh_desc->len < QOR_WIRE_HANDLE_SIZE) {
		LogMajor(COMPONENT_FSAL,
			 "Failed to handle_to_wire, space too small for handle.  need %u, have %u",
			 static_cast<unsigned>(QOR_WIRE_HANDLE_SIZE),
			 static_cast<uint32_t>(fh_desc->len));
		return fsalstat(ERR_FSAL_TOOSMALL, 0);
	}
	memcpy(fh_desc->addr, &qor_handle_of(obj_hdl)->fh, QOR_WIRE_HANDLE_SIZE);
	fh_desc->len = QOR_WIRE_HANDLE_SIZE;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

void handle_to_key(struct fsal_obj_handle *obj_hdl, struct gsh_buffdesc *fh_desc)
{
	fh_desc->addr = &qor_handle_of(obj_hdl)->fh;
	fh_desc->len = QOR_WIRE_HANDLE_SIZE;
}

/* Hands one directory entry to the server's callback as a new object and
 * gives back the callback's answer (DIR_CONTINUE for an entry that cannot
 * become an object, which is skipped). */
fsal_status_t emit_dirent(int dirfd, struct fsal_obj_handle *dir_hdl,
			  const qor_dirent &entry, void *dir_state,
			  fsal_readdir_cb cb, attrmask_t attrmask,
			  enum fsal_dir_result *answer)
{
	*answer = DIR_CONTINUE;
	if (qor_fs_unopenable_type(posix2fsal_type(entry.stat.mode)))
		return fsalstat(ERR_FSAL_NO_ERROR, 0);

	qor_file_handle fh;
	if (qor_name_to_handle_at(dirfd, entry.name, &fh) < 0) {
		LogCrit(COMPONENT_FSAL, "Failed to qor_name_to_handle_at. name=%s",
			entry.name);
		return fsalstat(ERR_FSAL_FAULT, 0);
	}
	if (!qor_export_serves(op_ctx->fsal_export, fh.id))
		return fsalstat(ERR_FSAL_NO_ERROR, 0);
	qor_fsal_obj_handle *hdl =
		alloc_handle(&fh, dir_hdl->fs, &entry.stat, op_ctx->fsal_export);
	if (hdl == nullptr)
		return fsalstat(ERR_FSAL_NO_ERROR, 0);

	struct fsal_attrlist attrs;
	fsal_prepare_attrs(&attrs, attrmask);
	qor2fsal_attributes(hdl, &attrs);
	*answer = cb(entry.name, &hdl->obj_handle, &attrs, dir_state,
		     entry.cookie);
	fsal_release_attrs(&attrs);
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

/* Sockets and devices are skipped: they cannot become objects, and one of
 * them must not make the rest of its directory unlistable. */
fsal_status_t read_dirents(struct fsal_obj_handle *dir_hdl,
			   fsal_cookie_t *whence, void *dir_state,
			   fsal_readdir_cb cb, attrmask_t attrmask, bool *eof)
{
	LogDebug(COMPONENT_FSAL, "FSALQOR read_dirents");

	qor_dir dir(qor_open_dir_by_handle(&qor_handle_of(dir_hdl)->fh));
	if (!dir.valid()) {
		LogCrit(COMPONENT_FSAL, "Failed to qor_open_dir_by_handlep");
		return fsalstat(ERR_FSAL_FAULT, 0);
	}
	if (whence != nullptr && qor_seek_dir(dir.get(), *whence) < 0) {
		LogCrit(COMPONENT_FSAL, "Failed to qor_seek_dir");
		return fsalstat(ERR_FSAL_FAULT, 0);
	}

	qor_dirent entry;
	entry.reclen = sizeof(entry);
	for (;;) {
		int rc = qor_read_dir(dir.get(), &entry);
		if (rc < 0) {
			LogCrit(COMPONENT_FSAL, "Failed to qor_read_dir, dirfd=%d",
				dir.get());
			return fsalstat(ERR_FSAL_FAULT, 0);
		}
		if (rc == 0) {
			LogDebug(COMPONENT_FSAL, "End of dir, dirfd=%d", dir.get());
			break;
		}
		enum fsal_dir_result answer;
		fsal_status_t st = emit_dirent(dir.get(), dir_hdl, entry,
					       dir_state, cb, attrmask, &answer);
		if (FSAL_IS_ERROR(st))
			return st;
		if (answer >= DIR_TERMINATE)
			return fsalstat(ERR_FSAL_NO_ERROR, 0);
	}
	*eof = true;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

fsal_status_t read_symlink(struct fsal_obj_handle *obj_hdl,
			   struct gsh_buffdesc *link_content, bool)
{
	if (obj_hdl->type != SYMBOLIC_LINK)
		return fsalstat(ERR_FSAL_INVAL, 0);

	link_content->len = QOR_PATH_MAX;
	link_content->addr = gsh_malloc(QOR_PATH_MAX);
	auto *text = static_cast<char *>(link_content->addr);
	fsal_status_t status = fsalstat(ERR_FSAL_NO_ERROR, 0);

	qor_file link(qor_open_by_handle(&qor_handle_of(obj_hdl)->fh));
	if (!link.valid()) {
		LogCrit(COMPONENT_FSAL,
			"Failed to qor_open_by_handle on read_symlink");
		status = fsalstat(ERR_FSAL_FAULT, 0);
	} else {
		int n = qor_readlink(link.get(), text, QOR_PATH_MAX);
		if (n < 0) {
			int error = errno;
			LogCrit(COMPONENT_FSAL, "Failed to qor_readlink");
			status = fsalstat(ERR_FSAL_FAULT, error);
		} else if (n >= QOR_PATH_MAX) {
			status = fsalstat(ERR_FSAL_INVAL, EINVAL);
		} else {
			text[n] = '\0';
			link_content->len = n + 1;
		}
	}
	if (FSAL_IS_ERROR(status)) {
		gsh_free(link_content->addr);
		link_content->addr = nullptr;
		link_content->len = 0;
	}
	return status;
}

} // namespace

bool qor_fs_unopenable_type(object_file_type_t type)
{
	return type == SOCKET_FILE || type == CHARACTER_FILE ||
	       type == BLOCK_FILE;
}

/* The fileid is the object's number on its medium: the same for every record
 * of the object, across restarts, and for all hard links of a file. */
qor_fsal_obj_handle *alloc_handle(const qor_file_handle *fh,
				  struct fsal_filesystem *fs,
				  const qor_stat_t *stat,
				  struct fsal_export *exp_hdl)
{
	auto *module = container_of(exp_hdl->fsal, struct qor_fsal_module, fsal);
	object_file_type_t type = posix2fsal_type(stat->mode);

	if (qor_fs_unopenable_type(type))
		return nullptr;

	qor_fsal_obj_handle *hdl = qor_alloc_obj_handle();
	hdl->obj_handle.type = type;
	hdl->obj_handle.fs = fs;
	hdl->fh = *fh;
	hdl->st = *stat;
	hdl->qor_fd.fd = -1;
	hdl->qor_fd.openflags = FSAL_O_CLOSED;

	fsal_obj_handle_init(&hdl->obj_handle, exp_hdl, type);
	hdl->obj_handle.fsid = fs->fsid;
	hdl->obj_handle.fileid = static_cast<uint32_t>(fh->id);
	hdl->obj_handle.obj_ops = &module->handle_ops;
	return hdl;
}

fsal_status_t qor_fs_lookup_path(struct fsal_export *exp_hdl, const char *path,
				 struct fsal_obj_handle **handle,
				 struct fsal_attrlist *attrs_out)
{
	const qor_fsal_export *myself = qor_export_of(exp_hdl);
	struct fsal_filesystem *fs = myself->root_fs;

	LogDebug(COMPONENT_FSAL, "qor_fs_lookup_path %s\n", path);
	*handle = nullptr;
	if (fs == nullptr) {
		LogInfo(COMPONENT_FSAL, "Could not find file system for path %s",
			path);
		return fail_with(ENOENT);
	}
	LogDebug(COMPONENT_FSAL, "filesystem %s for path %s", fs->path, path);

	media_path mp;
	compose_media_path(fs->path, fs->pathlen, path,
			   myself->media.export_path, &mp);
	switch (mp.result) {
	case media_path::ok:
		break;
	case media_path::outside_filesystem:
		LogInfo(COMPONENT_FSAL,
			"Invalid path %s to lookup from filesystem %s", path,
			fs->path);
		return fail_with(ENOENT);
	case media_path::export_path_too_long:
		LogInfo(COMPONENT_FSAL, "Export path %s is longer than %zd\n",
			myself->media.export_path, mp.limit);
		return fail_with(ENAMETOOLONG);
	case media_path::no_room_for_separator:
		LogInfo(COMPONENT_FSAL,
			"Could not append / to export path %s, which is longer than %zd\n",
			myself->media.export_path, mp.limit);
		return fail_with(ENAMETOOLONG);
	case media_path::path_too_long:
		LogInfo(COMPONENT_FSAL, "Path %s is longer than %zd\n",
			mp.in_path, mp.limit);
		return fail_with(ENAMETOOLONG);
	}

	int media_id = qor_fs_of(fs)->media_id;
	qor_file_handle fh;
	if (qor_name_to_handle(media_id, mp.path, &fh) < 0) {
		int error = library_error();
		LogCrit(COMPONENT_FSAL, "Could not get handle for path %s, error %s",
			mp.path, strerror(error));
		return fail_with(error);
	}
	qor_stat_t stat;
	if (qor_stat(media_id, mp.path, &stat) < 0) {
		int error = library_error();
		LogCrit(COMPONENT_FSAL, "Could not get stat for path %s, error %s",
			mp.path, strerror(error));
		return fail_with(error);
	}
	qor_fsal_obj_handle *hdl = alloc_handle(&fh, fs, &stat, exp_hdl);
	if (hdl == nullptr) {
		LogCrit(COMPONENT_FSAL, "Could not allocate handle for path %s",
			mp.path);
		return fail_with(ENOMEM);
	}
	qor2fsal_attributes(hdl, attrs_out);
	*handle = &hdl->obj_handle;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

/* Handles come from clients: one that names another export's medium,
 * something outside the export's subtree, or nothing on this medium, or
 * whose bytes differ in any way from the object's own handle, is stale.
 * Links and FIFOs are made again like files, so that a client can still read
 * a link after the server dropped it from its cache or restarted. */
fsal_status_t qor_fs_create_handle(struct fsal_export *exp_hdl,
				   struct gsh_buffdesc *hdl_desc,
				   struct fsal_obj_handle **handle,
				   struct fsal_attrlist *attrs_out)
{
	qor_file_handle fh;
	fsal_status_t checked = qor_export_check_handle(exp_hdl, hdl_desc, &fh);

	if (FSAL_IS_ERROR(checked))
		return checked;
	if (!reopenable_by_handle(fh.mode)) {
		LogCrit(COMPONENT_FSAL, "Failed to create_handle, mode = 0x%x",
			static_cast<unsigned>(fh.mode));
		return fsalstat(ERR_FSAL_STALE, 0);
	}

	qor_stat_t stat;
	int error = stat_by_handle(&fh, &stat);
	if (error == ESTALE)
		return fsalstat(ERR_FSAL_STALE, 0);
	if (error != 0)
		return fsalstat(ERR_FSAL_FAULT, 0);

	/* Only a forged handle can name a socket or device. */
	qor_fsal_obj_handle *hdl =
		alloc_handle(&fh, qor_export_of(exp_hdl)->root_fs, &stat, exp_hdl);
	if (hdl == nullptr) {
		LogDebug(COMPONENT_FSAL, "Could not allocate handle");
		return fsalstat(ERR_FSAL_STALE, 0);
	}
	qor2fsal_attributes(hdl, attrs_out);
	*handle = &hdl->obj_handle;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

void qor_fs_handle_ops_init(struct fsal_obj_ops *ops)
{
	fsal_default_obj_ops_init(ops);
	ops->release = release;
	ops->merge = qor_fs_merge;
	ops->lookup = lookup;
	ops->readdir = read_dirents;
	ops->readlink = read_symlink;
	ops->getattrs = qor_fs_getattr2;
	ops->close = qor_fs_close;
	ops->handle_to_wire = handle_to_wire;
	ops->handle_to_key = handle_to_key;
	ops->open2 = qor_fs_open2;
	ops->read2 = qor_fs_read2;
	ops->close2 = qor_fs_close2;
}

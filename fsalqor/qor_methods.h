/* Private records and operations of the QOR back-end. */
#ifndef FSALQOR_QOR_METHODS_H
#define FSALQOR_QOR_METHODS_H

#include <cstddef>

#include "ganesha.h"
#include "qor.h"
#include "qor_config.h"

struct qor_fsal_module {
	struct fsal_module fsal;	/* first: the server's pointer is ours */
	struct fsal_obj_ops handle_ops;	/* shared by every object */
};

extern struct qor_fsal_module QOR;

/* The root filesystem's private data: the opened medium of one export. */
struct qor_filesystem {
	struct fsal_filesystem *fs;
	int media_id;			/* negative: not open */
	uint64_t fs_total_bytes;
	uint64_t fs_total_files;
};

class export_subtree;

struct qor_fsal_export {
	struct fsal_export export_;	/* first */
	struct fsal_filesystem *root_fs;
	struct qor_media_params media;
	export_subtree *subtree;	/* null: the whole medium is served */
};

/* One library descriptor. Handed to the server as a struct fsal_fd, whose only
 * member is openflags. Closed: fd -1 and openflags 0. */
struct qor_fs_fd {
	fsal_openflags_t openflags;
	pthread_rwlock_t fdlock;
	int fd;
};

struct qor_fs_state_fd {
	struct state_t state;		/* first */
	struct qor_fs_fd qor_fs_fd;
};

/* fsal_find_fd() finds a state's descriptor at (struct fsal_fd *)(state + 1). */
static_assert(offsetof(qor_fs_state_fd, qor_fs_fd) == sizeof(struct state_t),
	      "a state's descriptor must follow state_t");
static_assert(offsetof(qor_fs_fd, openflags) == 0,
	      "qor_fs_fd must begin like struct fsal_fd");

struct qor_fsal_obj_handle {
	struct fsal_obj_handle obj_handle;	/* first */
	qor_stat_t st;
	qor_file_handle fh;
	struct qor_fs_fd qor_fd;
	struct fsal_share share;
};

static_assert(sizeof(qor_file_handle) == 12, "wire handles are 12 bytes");

constexpr size_t QOR_WIRE_HANDLE_SIZE = sizeof(qor_file_handle);

inline qor_fsal_obj_handle *qor_handle_of(struct fsal_obj_handle *obj_hdl)
{
	return container_of(obj_hdl, struct qor_fsal_obj_handle, obj_handle);
}

inline const qor_fsal_obj_handle *qor_handle_of(const struct fsal_obj_handle *obj_hdl)
{
	return container_of(obj_hdl, const struct qor_fsal_obj_handle, obj_handle);
}

inline qor_fsal_export *qor_export_of(struct fsal_export *exp_hdl)
{
	return container_of(exp_hdl, struct qor_fsal_export, export_);
}

inline qor_filesystem *qor_fs_of(const struct fsal_filesystem *fs)
{
	return static_cast<qor_filesystem *>(fs->private_data);
}

/* The medium an export serves, or -1. */
int qor_export_media_id(struct fsal_export *exp_hdl);

/* Whether the export serves the object with this inode number of its medium
 * (everything, unless export_path confines the export). */
bool qor_export_serves(struct fsal_export *exp_hdl, int32_t id);

/* Checks a client's handle against the export it arrived on: its medium, and
 * the subtree of the export's export_path. ERR_FSAL_BADHANDLE for a handle of
 * the wrong length, ERR_FSAL_STALE for one the export does not serve. */
fsal_status_t qor_export_check_handle(struct fsal_export *exp_hdl,
				      const struct gsh_buffdesc *desc,
				      qor_file_handle *fh);

/* main */
fsal_status_t qor_init_config(struct fsal_module *fsal_hdl,
			      config_file_t config_struct,
			      struct config_error_type *err_type);

/* export */
fsal_status_t qor_create_export(struct fsal_module *fsal_hdl, void *parse_node,
				struct config_error_type *err_type,
				const struct fsal_up_vector *up_ops);
void qor_export_ops_init(struct export_ops *ops);
void free_qor_filesystem(struct fsal_filesystem *fs);

/* handle */
void qor_fs_handle_ops_init(struct fsal_obj_ops *ops);
bool qor_fs_unopenable_type(object_file_type_t type);
qor_fsal_obj_handle *alloc_handle(const qor_file_handle *fh,
				  struct fsal_filesystem *fs,
				  const qor_stat_t *stat,
				  struct fsal_export *exp_hdl);
fsal_status_t qor_fs_lookup_path(struct fsal_export *exp_hdl, const char *path,
				 struct fsal_obj_handle **handle,
				 struct fsal_attrlist *attrs_out);
fsal_status_t qor_fs_create_handle(struct fsal_export *exp_hdl,
				   struct gsh_buffdesc *hdl_desc,
				   struct fsal_obj_handle **handle,
				   struct fsal_attrlist *attrs_out);

/* handle_syscalls */
uint64_t round_up(uint64_t len, uint64_t align);
void qor2fsal_attributes(const qor_fsal_obj_handle *hdl, struct fsal_attrlist *attrs);

/* file */
fsal_status_t qor_fs_open_my_fd(qor_fsal_obj_handle *myself,
				fsal_openflags_t openflags, qor_fs_fd *my_fd);
fsal_status_t qor_fs_close_my_fd(qor_fs_fd *my_fd);
fsal_status_t qor_fs_close(struct fsal_obj_handle *obj_hdl);
fsal_status_t qor_fs_close2(struct fsal_obj_handle *obj_hdl, struct state_t *state);
fsal_status_t qor_fs_merge(struct fsal_obj_handle *orig_hdl,
			   struct fsal_obj_handle *dupe_hdl);
fsal_status_t qor_fs_open2(struct fsal_obj_handle *obj_hdl, struct state_t *state,
			   fsal_openflags_t openflags,
			   enum fsal_create_mode createmode, const char *name,
			   struct fsal_attrlist *attrib_set, fsal_verifier_t verifier,
			   struct fsal_obj_handle **new_obj,
			   struct fsal_attrlist *attrs_out, bool *caller_perm_check);
void qor_fs_read2(struct fsal_obj_handle *obj_hdl, bool bypass,
		  fsal_async_cb done_cb, struct fsal_io_arg *read_arg,
		  void *caller_arg);
fsal_status_t qor_fs_getattr2(struct fsal_obj_handle *obj_hdl,
			      struct fsal_attrlist *attrs);
struct state_t *qor_fs_alloc_state(struct fsal_export *exp_hdl,
				   enum state_type state_type,
				   struct state_t *related_state);
void qor_fs_free_state(struct fsal_export *exp_hdl, struct state_t *state);

#endif /* FSALQOR_QOR_METHODS_H */

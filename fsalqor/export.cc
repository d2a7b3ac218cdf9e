/* Exports: one opened medium each, with its dynamic information and quotas. */
#include <sys/quota.h>

#include <cerrno>
#include <cstring>

#include "qor_methods.h"
#include "subtree.h"
#include "wire_handle.h"

namespace {

qor_filesystem *export_filesystem(struct fsal_export *exp_hdl)
{
	const qor_fsal_export *myself = qor_export_of(exp_hdl);

	return myself->root_fs != nullptr ? qor_fs_of(myself->root_fs) : nullptr;
}

void free_media_params(qor_media_params *media)
{
	gsh_free(media->dir);
	gsh_free(media->minor_resource_id);
	gsh_free(media->export_path);
	media->dir = media->minor_resource_id = media->export_path = nullptr;
}

void release(struct fsal_export *exp_hdl)
{
	qor_fsal_export *myself = qor_export_of(exp_hdl);

	delete myself->subtree;
	myself->subtree = nullptr;
	free_qor_filesystem(myself->root_fs);
	myself->root_fs = nullptr;
	fsal_detach_export(exp_hdl->fsal, &exp_hdl->exports);
	free_export_ops(exp_hdl);
	free_media_params(&myself->media);
	gsh_free(myself);
}

/* Handles are checked here as well as in create_handle: the server looks a
 * handle up in its object cache, which is shared by all exports of the
 * module, before it asks the export to make an object of it. */
fsal_status_t wire_to_host(struct fsal_export *exp_hdl, fsal_digesttype_t,
			   struct gsh_buffdesc *fh_desc, int)
{
	if (fh_desc == nullptr || fh_desc->addr == nullptr)
		return fsalstat(ERR_FSAL_FAULT, 0);
	return qor_export_check_handle(exp_hdl, fh_desc, nullptr);
}

fsal_status_t get_fs_dynamic_info(struct fsal_export *exp_hdl,
				  struct fsal_obj_handle *,
				  fsal_dynamicfsinfo_t *infop)
{
	const qor_filesystem *qfs = export_filesystem(exp_hdl);

	infop->total_bytes = qfs != nullptr ? qfs->fs_total_bytes : 0;
	infop->free_bytes = 0;
	infop->avail_bytes = 0;
	infop->total_files = qfs != nullptr ? qfs->fs_total_files : 0;
	infop->free_files = 0;
	infop->avail_files = 0;
	infop->time_delta.tv_sec = 1;
	infop->time_delta.tv_nsec = 0;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

const char *export_device(struct fsal_export *exp_hdl)
{
	const qor_fsal_export *myself = qor_export_of(exp_hdl);

	return myself->root_fs != nullptr ? myself->root_fs->device : nullptr;
}

int quotactl_as_caller(int cmd, const char *device, int quota_id,
		       struct dqblk *dq, int *error)
{
	fsal_set_credentials(&op_ctx->creds);
	int rc = quotactl(cmd, device, quota_id, reinterpret_cast<caddr_t>(dq));
	*error = errno;
	fsal_restore_ganesha_credentials();
	return rc;
}

fsal_status_t get_quota(struct fsal_export *exp_hdl, const char *,
			int quota_type, int quota_id, fsal_quota_t *pquota)
{
	struct dqblk dq {};
	int error = 0;
	int rc = quotactl_as_caller(QCMD(Q_GETQUOTA, quota_type),
				    export_device(exp_hdl), quota_id, &dq,
				    &error);

	if (rc < 0)
		return fsalstat(posix2fsal_error(error), error);

	pquota->bhardlimit = dq.dqb_bhardlimit;
	pquota->bsoftlimit = dq.dqb_bsoftlimit;
	pquota->curblocks = dq.dqb_curspace;
	pquota->fhardlimit = dq.dqb_ihardlimit;
	pquota->fsoftlimit = dq.dqb_isoftlimit;
	pquota->curfiles = dq.dqb_curinodes;
	pquota->btimeleft = dq.dqb_btime;
	pquota->ftimeleft = dq.dqb_itime;
	pquota->bsize = 512;
	return fsalstat(ERR_FSAL_NO_ERROR, rc);
}

/* Media are read-only: no quota is set, and no caller's request reaches the
 * host's quotas. */
fsal_status_t set_quota(struct fsal_export *, const char *, int, int,
			fsal_quota_t *, fsal_quota_t *)
{
	return fsalstat(ERR_FSAL_ROFS, 0);
}

struct fsal_filesystem *new_root_filesystem(struct fsal_module *fsal_hdl,
					    const char *fullpath)
{
	auto *fs = static_cast<struct fsal_filesystem *>(
		gsh_calloc(1, sizeof(struct fsal_filesystem)));
	auto *qfs = static_cast<qor_filesystem *>(
		gsh_calloc(1, sizeof(qor_filesystem)));

	fs->fsal = fsal_hdl;
	fs->path = gsh_strdup(fullpath);
	fs->pathlen = strlen(fs->path);
	qfs->fs = fs;
	qfs->media_id = -1;
	fs->private_data = qfs;
	return fs;
}

/* Opens the export's medium into its root filesystem; the errno of a failed
 * open is kept for the caller. */
int open_medium(const qor_media_params &media, qor_filesystem *qfs)
{
	qfs->media_id = qor_open_media(media.dir, media.minor_resource_id,
				       media.seq);
	int error = qfs->media_id < 0 ? errno : 0;

	if (qor_media_stat(qfs->media_id, &qfs->fs_total_bytes,
			   &qfs->fs_total_files) < 0) {
		qfs->fs_total_bytes = 0;
		qfs->fs_total_files = 0;
	}
	return error;
}

fsal_status_t fail_export(qor_fsal_export *myself, fsal_status_t status)
{
	free_export_ops(&myself->export_);
	free_media_params(&myself->media);
	gsh_free(myself);
	return status;
}

} // namespace

int qor_export_media_id(struct fsal_export *exp_hdl)
{
	const qor_filesystem *qfs = export_filesystem(exp_hdl);

	return qfs != nullptr ? qfs->media_id : -1;
}

bool qor_export_serves(struct fsal_export *exp_hdl, int32_t id)
{
	export_subtree *subtree = qor_export_of(exp_hdl)->subtree;

	return subtree == nullptr || subtree->contains(id);
}

fsal_status_t qor_export_check_handle(struct fsal_export *exp_hdl,
				      const struct gsh_buffdesc *desc,
				      qor_file_handle *fh)
{
	qor_file_handle wire;

	switch (check_wire_handle(desc->addr, desc->len,
				  qor_export_media_id(exp_hdl), &wire)) {
	case wire_handle_check::ok:
		break;
	case wire_handle_check::bad_length:
		return fsalstat(ERR_FSAL_BADHANDLE, 0);
	case wire_handle_check::other_medium:
		return fsalstat(ERR_FSAL_STALE, 0);
	}
	if (!qor_export_serves(exp_hdl, wire.id))
		return fsalstat(ERR_FSAL_STALE, 0);
	if (fh != nullptr)
		*fh = wire;
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

void free_qor_filesystem(struct fsal_filesystem *fs)
{
	if (fs == nullptr)
		return;
	auto *qfs = qor_fs_of(fs);

	if (qfs != nullptr && qfs->media_id >= 0)
		qor_close_media(qfs->media_id);
	gsh_free(qfs);
	gsh_free(fs->path);
	gsh_free(fs->device);
	gsh_free(fs->type);
	gsh_free(fs);
}

void qor_export_ops_init(struct export_ops *ops)
{
	ops->release = release;
	ops->lookup_path = qor_fs_lookup_path;
	ops->wire_to_host = wire_to_host;
	ops->create_handle = qor_fs_create_handle;
	ops->get_fs_dynamic_info = get_fs_dynamic_info;
	ops->get_quota = get_quota;
	ops->set_quota = set_quota;
	ops->alloc_state = qor_fs_alloc_state;
	ops->free_state = qor_fs_free_state;
}

fsal_status_t qor_create_export(struct fsal_module *fsal_hdl, void *parse_node,
				struct config_error_type *err_type,
				const struct fsal_up_vector *up_ops)
{
	auto *myself = static_cast<qor_fsal_export *>(
		gsh_calloc(1, sizeof(qor_fsal_export)));

	fsal_export_init(&myself->export_);
	qor_export_ops_init(&myself->export_.exp_ops);

	if (load_config_from_node(parse_node, &export_param, &myself->media,
				  true, err_type) != 0)
		return fail_export(myself, posix2fsal_status(EINVAL));

	myself->export_.fsal = fsal_hdl;
	int rc = fsal_attach_export(fsal_hdl, &myself->export_.exports);

	if (rc != 0)
		return fail_export(myself, posix2fsal_status(rc));

	myself->root_fs = new_root_filesystem(fsal_hdl, CTX_FULLPATH(op_ctx));
	qor_filesystem *qfs = qor_fs_of(myself->root_fs);
	int error = open_medium(myself->media, qfs);

	if (qfs->media_id >= 0) {
		if (myself->media.export_path != nullptr)
			myself->subtree = new export_subtree(
				qfs->media_id, myself->media.export_path);
		op_ctx->fsal_export = &myself->export_;
		myself->export_.up_ops = up_ops;
		return fsalstat(ERR_FSAL_NO_ERROR, 0);
	}

	LogMajor(COMPONENT_FSAL,
		 "Could not open QOR media dir=%s, minor_resource_id=%s, seq=%d, rc = %s (%d)",
		 myself->media.dir, myself->media.minor_resource_id,
		 myself->media.seq, strerror(error), error);
	free_qor_filesystem(myself->root_fs);
	myself->root_fs = nullptr;
	fsal_detach_export(fsal_hdl, &myself->export_.exports);
	return fail_export(myself, posix2fsal_status(error));
}

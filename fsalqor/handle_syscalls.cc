/* Attributes of media objects, made from the stat record kept in each handle. */
#include "qor_methods.h"

uint64_t round_up(uint64_t len, uint64_t align)
{
	return (len + align - 1) & ~(align - 1);
}

static void set_time(struct timespec *t, time_t seconds)
{
	t->tv_sec = seconds;
	t->tv_nsec = 0;
}

/* A medium keeps one time per object and no owners or link counts: every
 * object reports its mtime as all three times, owner and group 0, one link. */
void qor2fsal_attributes(const qor_fsal_obj_handle *hdl, struct fsal_attrlist *attrs)
{
	if (attrs == nullptr)
		return;

	const attrmask_t want = attrs->request_mask;
	const qor_stat_t &st = hdl->st;

	if (want & ATTR_FILEID) {
		attrs->fileid = hdl->obj_handle.fileid;
		attrs->valid_mask |= ATTR_FILEID;
		LogFullDebug(COMPONENT_FSAL, "fileid = %lu", attrs->fileid);
	}
	if (want & ATTR_TYPE) {
		attrs->type = posix2fsal_type(st.mode);
		attrs->valid_mask |= ATTR_TYPE;
		LogFullDebug(COMPONENT_FSAL, "filetype = 0x%x", attrs->type);
	}
	if (want & ATTR_MODE) {
		attrs->mode = st.mode & 07777;
		attrs->valid_mask |= ATTR_MODE;
		LogFullDebug(COMPONENT_FSAL, "mode = 0x%x", attrs->mode);
	}
	if (want & ATTR_NUMLINKS) {
		attrs->numlinks = 1;
		attrs->valid_mask |= ATTR_NUMLINKS;
	}
	if (want & ATTR_RAWDEV) {
		attrs->rawdev.major = 1;
		attrs->rawdev.minor = 1;
		attrs->valid_mask |= ATTR_RAWDEV;
	}
	if (want & ATTR_OWNER) {
		attrs->owner = 0;
		attrs->valid_mask |= ATTR_OWNER;
	}
	if (want & ATTR_GROUP) {
		attrs->group = 0;
		attrs->valid_mask |= ATTR_GROUP;
	}
	if (want & ATTR_SIZE) {
		attrs->filesize = st.size;
		attrs->valid_mask |= ATTR_SIZE;
	}
	if (want & ATTR_ATIME) {
		set_time(&attrs->atime, st.mtime);
		attrs->valid_mask |= ATTR_ATIME;
	}
	if (want & ATTR_MTIME) {
		set_time(&attrs->mtime, st.mtime);
		attrs->valid_mask |= ATTR_MTIME;
	}
	if (want & ATTR_CTIME) {
		set_time(&attrs->ctime, st.mtime);
		attrs->valid_mask |= ATTR_CTIME;
	}
	if (want & ATTR_SPACEUSED) {
		attrs->spaceused = st.size != 0 ? round_up(st.size, 512) : 512;
		attrs->valid_mask |= ATTR_SPACEUSED;
	}
	if (want & ATTR_FSID) {
		attrs->fsid.major = 1;
		attrs->fsid.minor = 1;
		attrs->valid_mask |= ATTR_FSID;
	}
}

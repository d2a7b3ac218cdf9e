/* Module registration and the "QOR" configuration block. */
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qor_methods.h"

struct qor_fsal_module QOR;

namespace {

constexpr attrmask_t qor_supported_attrs =
	ATTR_TYPE | ATTR_SIZE | ATTR_FSID | ATTR_FILEID | ATTR_MODE |
	ATTR_NUMLINKS | ATTR_OWNER | ATTR_GROUP | ATTR_RAWDEV | ATTR_ATIME |
	ATTR_CTIME | ATTR_MTIME | ATTR_SPACEUSED;
static_assert(qor_supported_attrs == 0x1dfce, "attribute bits of this server");
static_assert(offsetof(qor_module_config, fs_info) == 0,
	      "the QOR block's items are offsets into fs_info");

constexpr fsal_staticfsinfo_t make_default_posix_info()
{
	fsal_staticfsinfo_t info{};
	info.maxfilesize = UINT64_MAX;
	info.maxlink = 8;
	info.maxnamelen = 1024;
	info.maxpathlen = 1024;
	info.no_trunc = true;
	info.chown_restricted = true;
	info.case_insensitive = false;
	info.case_preserving = true;
	info.named_attr = true;
	info.unique_handles = true;
	info.acl_support = FSAL_ACLSUPPORT_ALLOW;
	info.homogenous = false;
	info.supported_attrs = qor_supported_attrs;
	info.maxread = 64 * 1024 * 1024;
	info.maxwrite = 64 * 1024 * 1024;
	info.umask = 0;
	return info;
}

constexpr fsal_staticfsinfo_t default_posix_info = make_default_posix_info();

void write_stderr(const char *text)
{
	ssize_t n = write(STDERR_FILENO, text, strlen(text));
	(void)n;
}

/* Whether this host supports open-file-description locks, tried on a
 * temporary file. */
bool test_ofd_locks()
{
	LogInfo(COMPONENT_FSAL, "FSAL_QOR testing OFD Locks");
	char *name = gsh_strdup("/tmp/ganesha.nfsd.locktestXXXXXX");
	bool supported = false;
	int fd = mkstemp(name);

	if (fd >= 0) {
		struct flock lock {};
		lock.l_type = F_RDLCK;
		lock.l_whence = SEEK_SET;
		lock.l_start = 0;
		lock.l_len = 0;
		lock.l_pid = 0;
		if (fcntl(fd, F_OFD_GETLK, &lock) == 0)
			supported = true;
		else
			LogInfo(COMPONENT_FSAL, "Could not use OFD locks");
		close(fd);
		unlink(name);
	} else {
		LogCrit(COMPONENT_FSAL,
			"Could not create file %s to test OFD locks", name);
	}
	gsh_free(name);
	return supported;
}

} // namespace

fsal_status_t qor_init_config(struct fsal_module *fsal_hdl,
			      config_file_t config_struct,
			      struct config_error_type *err_type)
{
	fsal_staticfsinfo_t *info = &fsal_hdl->fs_info;

	struct qor_module_config conf {};

	conf.fs_info = default_posix_info;
	conf.fs_info.lock_support = test_ofd_locks();
	if (conf.fs_info.lock_support)
		LogInfo(COMPONENT_FSAL, "FSAL_QOR enabling OFD Locks");
	else
		LogInfo(COMPONENT_FSAL, "FSAL_QOR disabling lock support");

	(void)load_config_from_parse(config_struct, &qor_param, &conf, true,
				     err_type);
	*info = conf.fs_info;
	if (!config_error_is_harmless(err_type))
		return fsalstat(ERR_FSAL_INVAL, 0);
	bool explicit_size = conf.set_items & QOR_SET_DATA_CACHE_SIZE;

	qor_set_data_cache_size(explicit_size ? conf.data_cache_size :
				QOR_DATA_CACHE_DEFAULT);
	if (explicit_size && qor_data_cache_size() < conf.data_cache_size)
		LogWarn(COMPONENT_FSAL,
			"FSAL_QOR data_cache_size = %" PRIu64
			" is more than this server may use, lowered to %" PRIu64,
			conf.data_cache_size, qor_data_cache_size());
	LogInfo(COMPONENT_FSAL, "FSAL_QOR data cache size = %" PRIu64,
		qor_data_cache_size());

	display_fsinfo(fsal_hdl);
	LogFullDebug(COMPONENT_FSAL, "Supported attributes constant = 0x%lx",
		     (unsigned long)qor_supported_attrs);
	LogFullDebug(COMPONENT_FSAL, "Supported attributes default = 0x%lx",
		     (unsigned long)default_posix_info.supported_attrs);
	LogDebug(COMPONENT_FSAL, "FSAL INIT: Supported attributes mask = 0x%lx",
		 (unsigned long)info->supported_attrs);
	return fsalstat(ERR_FSAL_NO_ERROR, 0);
}

namespace {

__attribute__((constructor)) void qor_init()
{
	qor_c_init();
	if (register_fsal(&QOR.fsal, "QOR", FSAL_MAJOR_VERSION,
			  FSAL_MINOR_VERSION, FSAL_ID_NO_PNFS) != 0) {
		write_stderr("QOR module failed to register");
		return;
	}
	QOR.fsal.m_ops.create_export = qor_create_export;
	QOR.fsal.m_ops.init_config = qor_init_config;
	qor_fs_handle_ops_init(&QOR.handle_ops);
}

__attribute__((destructor)) void qor_unload()
{
	if (unregister_fsal(&QOR.fsal) != 0) {
		write_stderr("QOR module failed to unregister");
		return;
	}
	qor_c_fini();
}

} // namespace

/* Configuration item tables: the server's CONF_ITEM initialisers are C only. */
#include "config.h"

#include <stdbool.h>
#include <stddef.h>

#include "config_parsing.h"
#include "fsal_types.h"
#include "qor_config.h"

static struct config_item qor_params[] = {
	CONF_ITEM_BOOL("link_support", true,
		       fsal_staticfsinfo_t, link_support),
	CONF_ITEM_BOOL("symlink_support", true,
		       fsal_staticfsinfo_t, symlink_support),
	CONF_ITEM_BOOL("cansettime", true,
		       fsal_staticfsinfo_t, cansettime),
	CONF_ITEM_UI64("maxread", 512, 64 * 1024 * 1024, 64 * 1024 * 1024,
		       fsal_staticfsinfo_t, maxread),
	CONF_ITEM_UI64("maxwrite", 512, 64 * 1024 * 1024, 64 * 1024 * 1024,
		       fsal_staticfsinfo_t, maxwrite),
	CONF_ITEM_MODE("umask", 0,
		       fsal_staticfsinfo_t, umask),
	CONF_ITEM_BOOL("auth_xdev_export", false,
		       fsal_staticfsinfo_t, auth_exportpath_xdev),
	/* Without it, the library sizes the cache from the host's memory. */
	CONF_ITEM_UI64_SET("data_cache_size", 0, QOR_DATA_CACHE_SIZE_MAX, 0,
			   qor_module_config, data_cache_size,
			   QOR_SET_DATA_CACHE_SIZE, set_items),
	CONFIG_EOL
};

struct config_block qor_param = {
	.dbus_interface_name = "org.ganesha.nfsd.config.fsal.qor",
	.blk_desc.name = "QOR",
	.blk_desc.type = CONFIG_BLOCK,
	.blk_desc.u.blk.init = noop_conf_init,
	.blk_desc.u.blk.params = qor_params,
	.blk_desc.u.blk.commit = noop_conf_commit
};

static struct config_item export_params[] = {
	CONF_ITEM_NOOP("name"),
	CONF_ITEM_STR("dir", 1, 4096, NULL,
		      qor_media_params, dir),
	CONF_ITEM_STR("minor_resource_id", 1, 4096, NULL,
		      qor_media_params, minor_resource_id),
	CONF_ITEM_UI32("seq", 1, UINT32_MAX, 1,
		       qor_media_params, seq),
	CONF_ITEM_STR("export_path", 1, 4096, NULL,
		      qor_media_params, export_path),
	CONFIG_EOL
};

struct config_block export_param = {
	.dbus_interface_name = "org.ganesha.nfsd.config.fsal.qor-export%d",
	.blk_desc.name = "FSAL",
	.blk_desc.type = CONFIG_BLOCK,
	.blk_desc.u.blk.init = noop_conf_init,
	.blk_desc.u.blk.params = export_params,
	.blk_desc.u.blk.commit = noop_conf_commit
};

/* Configuration records and blocks of the plug-in, shared by the C file that
 * holds the item tables (their initialisers are C only) and the C++ sources. */
#ifndef FSALQOR_QOR_CONFIG_H
#define FSALQOR_QOR_CONFIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct config_block;

/* Parameters of one export's FSAL block. */
struct qor_media_params {
	char *dir;
	char *minor_resource_id;
	uint32_t seq;
	char *export_path;	/* may be null; never empty */
};

/* What the module's "QOR" block sets: the server's static filesystem
 * information (first member: most items are offsets into it) and the bound of
 * the media library's data cache. Needs fsal_types.h included first. */
struct qor_module_config {
	fsal_staticfsinfo_t fs_info;
	uint64_t data_cache_size;	/* bytes; see set_items */
	uint32_t set_items;		/* QOR_SET_DATA_CACHE_SIZE when given */
};

#define QOR_SET_DATA_CACHE_SIZE 0x1u
/* Largest "data_cache_size" accepted: 1 TiB. */
#define QOR_DATA_CACHE_SIZE_MAX (UINT64_C(1) << 40)

/* The module's "QOR" block; its items write into struct qor_module_config. */
extern struct config_block qor_param;
/* An export's "FSAL" block; its items write into struct qor_media_params. */
extern struct config_block export_param;

#ifdef __cplusplus
}
#endif

#endif /* FSALQOR_QOR_CONFIG_H */

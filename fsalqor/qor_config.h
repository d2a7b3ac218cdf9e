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

/* The module's "QOR" block; its items write into fsal_staticfsinfo_t. */
extern struct config_block qor_param;
/* An export's "FSAL" block; its items write into struct qor_media_params. */
extern struct config_block export_param;

#ifdef __cplusplus
}
#endif

#endif /* FSALQOR_QOR_CONFIG_H */

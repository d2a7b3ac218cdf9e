/*
 * The server's headers, as seen from the plug-in's C++ sources.
 *
 * They are C and need a few adjustments: "export" is used as a parameter
 * name, sal_functions.h forward-declares an enum that only gsh_config.h
 * defines, and the 9P types header defines u8..u64 as macros.
 */
#ifndef FSALQOR_GANESHA_H
#define FSALQOR_GANESHA_H

#include "config.h"

#ifdef __cplusplus
#define export export_
extern "C" {
#endif

#include "gsh_config.h"
#include "fsal.h"
#include "fsal_api.h"
#include "fsal_convert.h"
#include "fsal_types.h"
#include "FSAL/fsal_commonlib.h"
#include "FSAL/fsal_localfs.h"
#include "FSAL/access_check.h"
#include "config_parsing.h"
#include "common_utils.h"
#include "log.h"
#include "sal_data.h"

#ifdef __cplusplus
}
#undef export
#endif

#undef u8
#undef u16
#undef u32
#undef u64

#endif /* FSALQOR_GANESHA_H */
